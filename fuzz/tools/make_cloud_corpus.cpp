// Writes the seed corpora of the cloud codec fuzz targets: one valid frame of
// every response alternative and of both messages.
//   make_cloud_corpus <fuzz/corpus directory>
#include <cstdio>
#include <string>

#include "cloud/corvane_samples.h"

using namespace corvane_samples;

namespace {

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

const char* const kResponseNames[] = {"", "gen", "ping", "ping_retro", "work", "file",
                                      "file_multi", "net_multi", "ios_app", "ios_net"};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    bool ok = true;
    for (int type = CorvaneQueryResponseData_PR_genResponse; type <= CorvaneQueryResponseData_PR_iosNetResponse;
         type++) {
        auto resp = response(static_cast<CorvaneQueryResponseData_PR>(type), 3);
        ok &= write_file(root + "/cv_decode_response/" + kResponseNames[type], response_frame(resp.get()));
    }
    ok &= write_file(root + "/cv_decode_message/deliver", message_frame(deliver_message().get()));
    ok &= write_file(root + "/cv_decode_message/ack", message_frame(ack_message(1).get()));
    if (!ok)
        perror("make_cloud_corpus");
    return ok ? 0 : 1;
}
