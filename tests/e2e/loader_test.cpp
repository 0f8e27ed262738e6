// The driver module loaded as a host loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "driver/records.h"
#include "support/log_capture.h"

namespace {

using Entry = int32_t (*)(NuvCall*);

TEST(Loader, LogLinesReachTheHostThroughTheServiceLibrary) {
    void* module = dlopen(VAVE8_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto nuvMain = reinterpret_cast<Entry>(dlsym(module, "NuvMain"));
    ASSERT_NE(nuvMain, nullptr);

    LogCapture log;
    NuvInfo info{};
    NuvCall call{};
    call.function = FN_GET_NUV_INFO;
    call.args = &info;
    EXPECT_EQ(nuvMain(&call), 0);
    EXPECT_EQ(info.instanceSize, 554);
    // The line arrived through our sink, with its level, and we are still here.
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], (LogLine{8, "VAVE8> GetNuvInfo() exited"}));
    dlclose(module);
}

TEST(Loader, OnlyNuvMainIsVisible) {
    void* module = dlopen(VAVE8_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    for (const char* hidden : {"GetNuvInfo", "ColdStart", "PortOpen", "Send", "Parse",
                               "_Z10GetNuvInfoP7NuvCall", "_Z8PortOpenPKcPK10LineParamstPj"}) {
        EXPECT_EQ(dlsym(module, hidden), nullptr) << hidden;
    }
    dlclose(module);
}

}  // namespace
