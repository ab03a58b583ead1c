// The activation code in the management form: the body, which the sender
// wipes, is the only copy the form makes of it. libcurl's allocator is watched
// for the whole process, so a copy it made and freed unwiped is seen.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kit/tessel_client/register.h"

namespace {

const char kCode[] = "0c0ffee0-5ec2-4e7a-9c0d-ac7ca7c0de42";
std::atomic<bool> g_watching{false};
std::atomic<int> g_copies{0};

// A block libcurl gives back: does it still hold (the start of) the code?
void Inspect(void* block) {
    if (!g_watching || !block)
        return;
    if (memmem(block, malloc_usable_size(block), kCode, 16))
        ++g_copies;
}
void* Malloc(size_t size) { return malloc(size); }
void Free(void* block) {
    Inspect(block);
    free(block);
}
void* Realloc(void* block, size_t size) {
    Inspect(block);
    return realloc(block, size);
}
char* Strdup(const char* text) { return strdup(text); }
void* Calloc(size_t count, size_t size) { return calloc(count, size); }

// Before anything else of the process starts libcurl.
const bool kWatched = curl_global_init_mem(CURL_GLOBAL_ALL, Malloc, Free, Realloc, Strdup, Calloc) == CURLE_OK;

TEST(ManagementForm, TheActivationCodeIsCopiedNowhereButIntoTheBody) {
    ASSERT_TRUE(kWatched);
    vesta_info info{};
    for (char* guid : {info.agent_guid, info.business_guid, info.affiliate_guid})
        memcpy(guid, "11111111-2222-4333-8444-555555555555", 36);
    vesta_host_info host{};
    vesta_registration_info registration{};
    char body[VESTA_FORM_BODY_SIZE];
    g_watching = true;
    ASSERT_EQ(register_compose_body(body, sizeof body, &info, &host, &registration, kCode), VESTA_REGISTER_OK);
    g_watching = false;
    EXPECT_NE(strstr(body, (std::string("itoken=") + kCode).c_str()), nullptr) << body;
    EXPECT_EQ(g_copies, 0) << "libcurl freed a copy of the activation code unwiped";
}

}  // namespace
