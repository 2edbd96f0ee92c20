// The backend tests' entry point: one private sound server, of the kind QFX_TEST_SOUND_SERVER selects, serves the
// whole binary (tests that kill or strip a server start their own).
#include "tests/linux/sound_server.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) {
        return RUN_ALL_TESTS();
    }
    qfx::test_support::SoundServer server(qfx::test_support::selectedServerKind());
    if (!server.ok()) {
        std::fprintf(stderr, "backend tests: %s\n", server.failure().c_str());
        return 1;
    }
    qfx::test_support::SoundServer::setShared(&server);
    const int status = RUN_ALL_TESTS();
    qfx::test_support::SoundServer::setShared(nullptr);
    return status;
}
