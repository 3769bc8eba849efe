// One POST of a PDU through the stack on (virtual) time: a post cancelled
// before its answer never reports, leaves no socket, step timer or deadline
// behind and gives the stack back, so the next post runs to its answer.
#include <gtest/gtest.h>

#include <glib.h>

#include <string>
#include <vector>

#include "hbxappglib.h"
#include "osal_scripted.h"
#include "qx_log.h"
#include "rr_post.h"

namespace {

namespace os = osal_script;

const bool kQuiet = (qx::set_log_enabled(false), true);

// Whether the post's overall deadline is still attached to the main context.
bool deadline_attached(rrhost::PduPost *post) {
    return g_main_context_find_source_by_funcs_user_data(nullptr, &g_timeout_funcs, post) != nullptr;
}

TEST(HostPost, CancelReleasesEverythingAndTheNextPostRuns) {
    for (const HbxDrive drive : {HbxDrive::Timer, HbxDrive::Readiness}) {
        SCOPED_TRACE(drive == HbxDrive::Timer ? "timer drive" : "readiness drive");
        os::reset();
        hbx_SetDrive(drive);
        const MmsSettings settings{"TestUA/1.0", nullptr, "10.0.0.1", "8080", "http://mmsc.test/mms"};
        const std::vector<uint8_t> pdu{0x8C, 0x90, 0x98, 't', '1', 0, 0x8D, 0x92};
        int done = 0;
        rrhost::PduPost *post = rrhost::post_pdu_start(
            settings, pdu, nullptr, [&](rrhost::PostEnd) { ++done; }, 60000);
        ASSERT_NE(post, nullptr);
        // Under way: connected, the request out, no answer yet.
        for (int i = 0; i < 5; ++i) os::fire_next_timer();
        EXPECT_EQ(os::sockets_open(), 1);
        EXPECT_NE(os::written().find("POST http://mmsc.test/mms"), std::string::npos) << os::written();
        ASSERT_TRUE(deadline_attached(post));

        rrhost::post_pdu_cancel(post);
        EXPECT_FALSE(deadline_attached(post)) << "the deadline would fire on a freed post";
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_pending(), 0);
        EXPECT_EQ(os::timer_bad_frees(), 0);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        EXPECT_EQ(os::run_timers(100), 0);
        EXPECT_EQ(done, 0) << "a cancelled post reported";
        rrhost::post_pdu_cancel(nullptr);  // nothing to end

        // The stack was given back: the next post starts and ends with its answer.
        os::push_read_data("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        rrhost::PostEnd end;
        post = rrhost::post_pdu_start(settings, pdu, nullptr, [&](rrhost::PostEnd e) {
            ++done;
            end = std::move(e);
        });
        ASSERT_NE(post, nullptr);
        os::run_timers(1000);
        EXPECT_EQ(done, 1);
        EXPECT_TRUE(end.ok);
        EXPECT_EQ(end.httpStatus, 200);
        EXPECT_EQ(end.answer, "ok");
        EXPECT_EQ(os::sockets_open(), 0);
        EXPECT_EQ(os::timers_pending(), 0);
        EXPECT_FALSE(hbx_Busy());
    }
    hbx_SetDrive(HbxDrive::Timer);
    os::reset();
}

}  // namespace
