#include "storage/UTXmlReply.h"

#include <algorithm>

namespace bfs {

namespace {

// Bytes the load running on this thread may still allocate; null while none is bounded.
thread_local size_t* t_Left = nullptr;
// pugixml's own allocation functions, which ours hand every call on to.
pugi::allocation_function g_Allocate = nullptr;
pugi::deallocation_function g_Deallocate = nullptr;

void* Allocate(size_t Size) {
    if (size_t* left = t_Left) {
        if (Size > *left) return nullptr;  // pugixml ends the load with status_out_of_memory
        *left -= Size;
    }
    return g_Allocate(Size);
}

void Deallocate(void* Memory) {
    g_Deallocate(Memory);
}

// Every pugixml document of the program allocates through the two above, from before main on,
// while only one thread runs. Outside LoadXmlReply they only pass the call on.
[[maybe_unused]] const bool g_Installed = [] {
    g_Allocate = pugi::get_memory_allocation_function();
    g_Deallocate = pugi::get_memory_deallocation_function();
    pugi::set_memory_management_functions(Allocate, Deallocate);
    return true;
}();

}  // namespace

size_t ReplyDocumentBudget(size_t Size) {
    return std::min(Size * 4 + (size_t{1} << 20), MAX_REPLY_DOCUMENT);
}

pugi::xml_parse_result LoadXmlReply(pugi::xml_document& Document, std::string& Text, unsigned Options) {
    size_t left = ReplyDocumentBudget(Text.size());
    struct TBound {
        explicit TBound(size_t& Left) { t_Left = &Left; }
        ~TBound() { t_Left = nullptr; }
    } bound(left);
    return Document.load_buffer_inplace(Text.data(), Text.size(), Options, pugi::encoding_auto);
}

}  // namespace bfs
