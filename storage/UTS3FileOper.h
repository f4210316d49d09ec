#pragma once

#include "model/UTFileOper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bfs {

// The back-end of an S3 bucket (kind 7). The class itself lives in the .cpp.
// Addresses: "http://host[:port]/bucket/key/prefix" (the prefix may be empty); the scheme written
// in the address is not read: the side's FactTime decides (1 = https). The access key id is the
// side's UserName, the secret key its PWD.
std::unique_ptr<TFileOper> CreateS3FileOper(bool FreeOnTerminate);

// Browsing an account for the folder window, on a back-end that CreateS3FileOper made. Each call
// first takes the side's address (for the endpoint), keys and scheme, as Connect does. Bucket
// names are the user's: a bucket this program made is the access key id in lower case + "-" + that
// name on the service; any other bucket goes by its own name (the program's come first where both
// would fit).
class IS3Browser {
  public:
    virtual ~IS3Browser() = default;
    // Every bucket the key can see: those whose service name begins with the access key id (in
    // lower case, or as written) + "-" with that part removed, the others by their own names; a
    // name is given once. False when the request fails.
    virtual bool ListBuckets(std::vector<std::string>& Names) = 0;
    // The folders directly inside Path ("" or "/" for the bucket's top, "a/b" or "/a/b/" below it)
    // of the user's bucket Bucket, every page of them: each with Name, IsFolder 1 and Path the
    // holding folder in the listing's form ("/" or "/a/b/"). Names no side could hold ("", "..",
    // this program's own folders and leftovers) are left out. False when a request fails.
    virtual bool ListObjects(const std::string& Bucket, const std::string& Path,
                             std::vector<TFileAttri>& List) = 0;
    // Creates the user's bucket Name. False when the service refuses (an upper-case name, say);
    // GetErrorText then tells why.
    virtual bool CreateBucket(const std::string& Name) = 0;
    // The last failed request's status line and reply, empty after a request that succeeded.
    virtual const std::vector<std::string>& GetErrorText() const = 0;
};
// The browse side of an S3 back-end; null for any other back-end.
IS3Browser* S3BrowserOf(TFileOper& Oper);

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

// The MD5 an entity tag stands for, as 32 lower-case hexadecimal digits: the tag of an object
// stored by one upload is the MD5 of its bytes ("\"9e10...\"", quotes optional). Empty for any
// other tag, such as that of an object uploaded in parts ("...-3").
std::string Md5OfEntityTag(std::string_view ETag);

// Whether ETag, a reply's tag of an object, is the MD5 digest whose Base64 text is ContentMD5 (a
// "Content-MD5" value): the object then holds exactly the bytes of that digest. A tag that is no
// digest (of an encrypted object, say) tells nothing: false.
bool TagIsDigest(std::string_view ETag, const std::string& ContentMD5);

}  // namespace bfs
