// Copies made by compose and parse, counted through the allocation seam:
// composing holds the PDU and little else (the host's media are read where
// they are and the body is written into the PDU's buffer), and parsing holds
// the host's copies of the body and of the items and little else (the PDU is
// read where it lies), and so does opening a stored send request. The
// message comes back whole every time.
#include <gtest/gtest.h>

#include <vector>

#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "rorodire.h"
#include "support/composer_host.h"

namespace {

using rrtest::HostLists;
using rrtest::HostMedia;
using rrtest::HostMessage;
using rrtest::HostSlide;
using rrtest::HostText;

// Ten slides of an image and an audio clip (300 KB of media) and a text,
// with an attachment.
HostMessage big_message() {
    HostMessage m;
    for (int i = 0; i < 10; ++i) {
        HostSlide s;
        s.image = HostMedia{"image/jpeg", "image" + std::to_string(i) + ".jpg",
                            std::vector<uint8_t>(20 * 1024, static_cast<uint8_t>(i)), 0, 5000};
        s.audio = HostMedia{"audio/amr", "audio" + std::to_string(i) + ".amr",
                            std::vector<uint8_t>(10 * 1024, static_cast<uint8_t>(0x80 + i)), 0, 4000};
        s.text = HostText{"caption " + std::to_string(i), 0, 5000};
        s.dur = 6000;
        m.slides.push_back(s);
    }
    m.attachments.push_back({"notes.bin", "application/octet-stream", std::vector<uint8_t>(7000, 0x3C)});
    return m;
}

// The send request's body served as an m-retrieve-conf.
std::vector<uint8_t> as_retrieve_conf(const uint8_t *pdu, int len) {
    std::vector<uint8_t> conf = {0x8C, 0x84, 0x98, 'T', 0, 0x8D, 0x92, 0x8B, 'M', 0};
    tMMS_SendReq *s = fnMMS_ParseSendContent(pdu, len);
    if (s) conf.insert(conf.end(), s->ContentTypeAndBody, s->ContentTypeAndBody + s->Body_Len);
    fnMMS_FreeMessageMem(s, MMS_STRUCT_SEND_REQ);
    return conf;
}

TEST(ComposerOneCopy, ComposeHoldsThePduAndParseTheHostsCopies) {
    const HostMessage m = big_message();
    HostLists lists(m);
    tCPS_MmsData d{};
    d.Header.Send_Req.Transaction_Id = const_cast<char *>("one-copy");
    d.Header.Send_Req.To = const_cast<char *>("+4917012345");
    d.pSlide_List = lists.slides();
    d.pAttach_List = lists.attachments();
    tCPS_PduBuf out{};
    long live = qx::alloc_stats().liveBytes;
    qx::alloc_peak_reset();
    ASSERT_EQ(fnCPS_ComposeMMS(&d, &out, 0), 0);
    const long composePeak = qx::alloc_peak_bytes() - live;
    // The PDU (about 310 KB) and the SMIL, parts and names beside it.
    EXPECT_GT(composePeak, out.length);
    EXPECT_LT(composePeak, out.length + 32 * 1024);
    EXPECT_EQ(out.data[out.length], 0);

    // Opening the stored request (action 1) holds the host's copies alike.
    tCPS_MmsData opened{};
    live = qx::alloc_stats().liveBytes;
    qx::alloc_peak_reset();
    ASSERT_EQ(fnCPS_ComposeMMS(&opened, &out, 1), 0);
    EXPECT_LT(qx::alloc_peak_bytes() - live, 2L * out.length + 48 * 1024);
    EXPECT_EQ(rrtest::read_lists(opened), m);
    rrtest::free_lists(opened);
    rrtest::free_send_header(opened.Header.Send_Req);

    std::vector<uint8_t> conf = as_retrieve_conf(out.data, out.length);
    qx::free_ptr(out.data);
    tCPS_PduBuf in{conf.data(), static_cast<int>(conf.size())};
    tCPS_MmsData got{};
    live = qx::alloc_stats().liveBytes;
    qx::alloc_peak_reset();
    ASSERT_EQ(fnCPS_ParserMMS(&got, &in), 0);
    const long parsePeak = qx::alloc_peak_bytes() - live;
    // The host's copy of the body and of every item, and the view beside them.
    EXPECT_GT(parsePeak, 2L * 307 * 1024);
    EXPECT_LT(parsePeak, 2L * static_cast<long>(conf.size()) + 48 * 1024);

    std::string problem;
    const HostMessage back = rrtest::read_lists(got, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(back, m);
    rrtest::free_lists(got);
    rrtest::free_retrieve_header(got.Header.Retrieve.Retrieve_Conf);
}

}  // namespace
