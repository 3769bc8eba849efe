// The programs' shared layer: proxy and authority text read the way a
// transaction reads it and written back the one way, and slides from parts
// composed and read back by the library, with every composer code named.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qx_log.h"
#include "rorodire_host.h"
#include "rr_slides.h"
#include "rr_stack.h"

namespace {

const bool kQuiet = (qx::set_log_enabled(false), true);

TEST(HostAddress, ProxiesReadAsTransactionsAndWriteBackTheSame) {
    struct Case {
        const char *text;
        rrhost::AddressFault fault;
        const char *host, *port;
    };
    const Case cases[] = {
        {"proxy.example:8080", rrhost::AddressFault::None, "proxy.example", "8080"},
        {"192.0.2.1:80", rrhost::AddressFault::None, "192.0.2.1", "80"},
        {"[2001:db8::1]:3128", rrhost::AddressFault::None, "2001:db8::1", "3128"},
        {"proxy.example", rrhost::AddressFault::NoPort, "", ""},
        {"[2001:db8::1]", rrhost::AddressFault::NoPort, "", ""},
        {"proxy.example:0", rrhost::AddressFault::Unreadable, "", ""},
        {"proxy.example:65536", rrhost::AddressFault::Unreadable, "", ""},
        {"2001:db8::1:80", rrhost::AddressFault::Unreadable, "", ""},
        {"", rrhost::AddressFault::Unreadable, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string host, port, why;
        const rrhost::AddressFault f = rrhost::read_proxy(c.text, &host, &port, &why);
        EXPECT_EQ(f, c.fault);
        if (f != rrhost::AddressFault::None) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        // Written back, it reads the same again, and is the text given.
        const std::string text = rrhost::authority_text(host, port);
        EXPECT_EQ(text, c.text);
        std::string host2, port2;
        EXPECT_EQ(rrhost::read_proxy(text, &host2, &port2, &why), rrhost::AddressFault::None);
        EXPECT_EQ(host2, host);
        EXPECT_EQ(port2, port);
    }
    std::string host, port, why;
    const std::string nul("proxy.example:80\0x", 18);
    EXPECT_NE(rrhost::read_proxy(nul, &host, &port, &why), rrhost::AddressFault::None);
    EXPECT_NE(rrhost::read_proxy(std::string(300, 'a') + ":80", &host, &port, &why), rrhost::AddressFault::None);
    EXPECT_EQ(rrhost::authority_text("", "80"), "");
    EXPECT_EQ(rrhost::authority_text("::1", 8080), "[::1]:8080");
}

TEST(HostAddress, UrlsGiveTheHostAndPortATransactionConnectsTo) {
    rrhost::HostPort hp;
    std::string why, bare;
    ASSERT_TRUE(rrhost::read_url("http://[2001:db8::5]:8002/mms", &hp, &why)) << why;
    EXPECT_EQ(hp.host, "[2001:db8::5]");
    EXPECT_EQ(hp.port, 8002);
    ASSERT_TRUE(rrhost::connect_host(hp, &bare));
    EXPECT_EQ(bare, "2001:db8::5");
    ASSERT_TRUE(rrhost::read_url("http://mmsc.example/", &hp, &why)) << why;
    EXPECT_EQ(hp.port, 80);
    EXPECT_FALSE(rrhost::read_url("http://mmsc.example:99999/", &hp, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(rrhost::read_authority("relay.example", 80, &hp, &why), rrhost::AddressFault::None);
    EXPECT_EQ(hp.port, 80);
}

TEST(HostSlides, PartsComposeIntoSlidesTheLibraryReadsBack) {
    const std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 0xFF, 0xD9};
    const std::vector<uint8_t> amr = {'#', '!', 'A', 'M', 'R', '\n', 1, 2, 3, 4};
    const std::vector<uint8_t> vcard = {'B', 'E', 'G', 'I', 'N', ':', 'V', 'C', 'A', 'R', 'D'};
    const char text[] = "hello there";
    rrhost::SlideList list;
    list.add_slide(4000);
    list.add_media(rrhost::Media::Image, jpeg.data(), static_cast<int>(jpeg.size()), "image/jpeg", "a.jpg", 0, 4000);
    list.add_text(text, static_cast<int>(std::strlen(text)), 0, 4000);
    list.add_slide(3000);
    list.add_media(rrhost::Media::Audio, amr.data(), static_cast<int>(amr.size()), "audio/amr", "b.amr", 500, 3000);
    list.add_attachment(vcard.data(), static_cast<int>(vcard.size()), "text/x-vcard", "c.vcf");
    EXPECT_EQ(list.slides(), 2u);
    EXPECT_EQ(list.attachments(), 1u);
    tMMS_SendReq head{};
    char tid[] = "T-1", to[] = "+15550100002/TYPE=PLMN";
    head.Transaction_Id = tid;
    head.To = to;
    rrhost::ComposerCode code = rrhost::ComposerCode::Busy;
    int bodyLen = 0;
    std::vector<uint8_t> pdu = list.compose(head, &code, &bodyLen);
    ASSERT_EQ(code, rrhost::ComposerCode::Success);
    ASSERT_FALSE(pdu.empty());
    EXPECT_GT(bodyLen, 3);
    EXPECT_LT(static_cast<size_t>(bodyLen), pdu.size());

    tCPS_MmsData back{};
    tCPS_PduBuf buf{pdu.data(), static_cast<int>(pdu.size())};
    ASSERT_EQ(fnCPS_ComposeMMS(&back, &buf, 1), COMPOSER_SUCCESS);
    EXPECT_EQ(back.Slide_Num, 2);
    EXPECT_EQ(back.Attach_Num, 1);
    ASSERT_NE(back.pSlide_List, nullptr);
    const tCPS_Slide &s1 = *back.pSlide_List;
    EXPECT_EQ(s1.Duration, 4000);
    ASSERT_TRUE(s1.Has_Image && s1.Has_Text);
    EXPECT_EQ(std::vector<uint8_t>(s1.Image.Data, s1.Image.Data + s1.Image.Size), jpeg);
    EXPECT_EQ(std::string(s1.Text.Text, static_cast<size_t>(s1.Text.Length)), text);
    ASSERT_NE(s1.next, nullptr);
    EXPECT_TRUE(s1.next->Has_Audio);
    EXPECT_EQ(s1.next->Audio.Begin, 500);
    EXPECT_EQ(std::vector<uint8_t>(back.pAttach_List->Data, back.pAttach_List->Data + back.pAttach_List->Size), vcard);
    EXPECT_STREQ(back.Header.Send_Req.Transaction_Id, "T-1");
    rrhost::free_lists(back);
    rrhost::free_send_header(back.Header.Send_Req);
}

TEST(HostSlides, RefusalsComeBackNamed) {
    // A video beside an image is the composer's to refuse, and its code has words.
    const uint8_t bytes[] = {1, 2, 3, 4};
    rrhost::SlideList list;
    list.add_slide(1000);
    list.add_media(rrhost::Media::Image, bytes, 4, "image/png", "a.png", 0, 1000);
    list.add_media(rrhost::Media::Video, bytes, 4, "video/3gpp", "b.3gp", 0, 1000);
    tMMS_SendReq head{};
    char tid[] = "T-2", to[] = "+15550100002/TYPE=PLMN";
    head.Transaction_Id = tid;
    head.To = to;
    rrhost::ComposerCode code = rrhost::ComposerCode::Success;
    EXPECT_TRUE(list.compose(head, &code).empty());
    EXPECT_NE(code, rrhost::ComposerCode::Success);
    EXPECT_STRNE(rrhost::composer_code_text(code), "unknown result");
    // Every code the composer gives has its own words.
    const int codes[] = {COMPOSER_MEMERY_ALLOC_FAIL, COMPOSER_BUSY, COMPOSER_ITEM_EXISTS, COMPOSER_VIDEO_EXISTS,
                         COMPOSER_IMAGE_AUDIO_EXISTS, COMPOSER_FULL, COMPOSER_VIEW_EMPTY, COMPOSER_NO_ITEM,
                         COMPOSER_SLOT_NOT_IN_USE, COMPOSER_INPUT_PARAM_ERROR, COMPOSER_PDU_INVALID,
                         COMPOSER_VIEW_FAIL};
    std::vector<std::string> seen;
    for (int c : codes) {
        const std::string t = rrhost::composer_code_text(static_cast<rrhost::ComposerCode>(c));
        EXPECT_NE(t, "unknown result") << c;
        for (const std::string &s : seen) EXPECT_NE(s, t) << c;
        seen.push_back(t);
    }
    EXPECT_STREQ(rrhost::composer_code_text(static_cast<rrhost::ComposerCode>(-99)), "unknown result");
}

}  // namespace
