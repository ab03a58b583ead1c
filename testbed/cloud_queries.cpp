#include "testbed/cloud_queries.h"

#include <cstdlib>
#include <cstring>

#include "corvane_runtime.h"

namespace testbed {

CorvaneQuery_t* file_lookup(long n) {
    corvane_asn1_init();
    auto* query = static_cast<CorvaneQuery_t*>(calloc(1, sizeof(CorvaneQuery_t)));
    query->data.present = CorvaneQueryData_PR_file;
    CorvaneFile_t& file = query->data.choice.file;
    OCTET_STRING_fromBuf(&file.filesize, "4096", 4);
    file.qtype = 1;
    file.htype = 3;
    uint8_t hash[32] = {};
    memcpy(hash, &n, sizeof n);
    OCTET_STRING_fromBuf(&file.hash, reinterpret_cast<const char*>(hash), sizeof hash);
    return query;
}

}  // namespace testbed
