#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace bfs {

// The back-end of an S3 bucket (kind 7). The class itself lives in the .cpp.
// Addresses: "http://host[:port]/bucket/key/prefix" (the prefix may be empty); the scheme written
// in the address is not read: the side's FactTime decides (1 = https). The access key id is the
// side's UserName, the secret key its PWD.
std::unique_ptr<TFileOper> CreateS3FileOper(bool FreeOnTerminate);

// The parts of an S3 side's address.
struct TS3Address {
    std::string Endpoint;  // host[:port]; the public service when the address names none
    std::string Bucket;    // as the user typed it
    std::string Prefix;    // key prefix without "/" at either end; empty at the bucket's top
};
TS3Address ParseS3Address(std::string_view Address);

// A list reply's "2010-03-05T14:07:33.000Z" (UTC) as a DOS date-time of the local time at that
// instant; 0 when the text is no such time.
int32_t S3TimeToDosDate(std::string_view Text);
// An HTTP date ("Fri, 05 Mar 2010 14:07:33 GMT") as a DOS date-time of local time; 0 when the
// text is no such date.
int32_t HttpDateToDosDate(std::string_view Text);

}  // namespace bfs
