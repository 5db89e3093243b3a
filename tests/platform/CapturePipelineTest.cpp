#include <atomic>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "CaptureDrivers.h"
#include "CapturePipeline.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

void noteFinalized(gpointer finalized, GObject*)
{
    *static_cast<bool*>(finalized) = true;
}

} // namespace

// Every connection, the failed ones of a driver scan too, gives its source element back.
TEST(CapturePipeline, SourceElementGoesWithItsPipeline)
{
    gst_init(nullptr, nullptr);
    const char* descriptions[] = {
        "videotestsrc is-live=true ! video/x-raw,width=16,height=16",    // runs
        "filesrc location=/no/such/clip.avi ! decodebin",                 // cannot start
        "videotestsrc ! video/x-raw,width=16,height=16 ! identity error-after=1", // fails at once
    };
    for (const char* description : descriptions) {
        bool finalized = false;
        {
            std::string error;
            gst::Element source = makeSourceElement({"Test", description, nullptr}, error);
            ASSERT_TRUE(source) << error;
            g_object_weak_ref(G_OBJECT(source.get()), noteFinalized, &finalized);
            const std::atomic<bool> cancel{false};
            const auto pipeline = CapturePipeline::start(std::move(source), nullptr, 1, 5s, cancel, error);
        }
        EXPECT_TRUE(finalized) << description;
    }
}

// Every process of the program passes 2048 quarks in some environment; the sanitizer
// run must not take the block GLib leaves behind then for a leak of ours.
TEST(GLibAtLoad, QuarkTableGrowthIsNoLeakOfOurs)
{
    for (int i = 0; i < 5000; ++i)
        EXPECT_NE(g_quark_from_string(("capture-test-quark-" + std::to_string(i)).c_str()), 0u);
}
