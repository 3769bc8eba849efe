// libFuzzer target: host messages built from the input (slides with any
// items, times and durations, attachments, header texts) composed with
// action 0; every send request composed must open again with action 1.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_host_lists.h"
#include "fuzz_support.h"
#include "rorodire.h"

namespace {

// Reads the input front to back; past its end every value is 0.
struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    int32_t i32() { return static_cast<int32_t>(static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16)); }
    std::string str(size_t max) {
        const size_t len = u8() % (max + 1);
        std::string s;
        for (size_t i = 0; i < len && n; ++i) s.push_back(static_cast<char>(u8()));
        return s;
    }
    std::vector<uint8_t> bytes() {
        const size_t len = u16() % 6000;
        std::vector<uint8_t> b(len);
        for (size_t i = 0; i < len; ++i) b[i] = n ? u8() : static_cast<uint8_t>(i);
        return b;
    }
    int time() {
        const uint8_t k = u8();
        return k < 200 ? static_cast<int>(k) * 500 : i32();
    }
};

const char *const kTypes[] = {"image/jpeg", "image/gif", "audio/amr", "video/3gpp", "text/plain",
                              "application/smil", "application/vnd.oma.drm.message", "image/png"};

struct Item {
    std::string type, name;
    std::vector<uint8_t> data;
    int begin = 0, end = 0;
};

Item item(Input &in) {
    Item it;
    const uint8_t t = in.u8();
    it.type = t < 8 ? kTypes[t] : in.str(80);
    it.name = in.str(60);
    it.data = in.bytes();
    it.begin = in.time();
    it.end = in.time();
    return it;
}

template <typename T>
void set_item(T &dst, const Item &src) {
    rrhost::set_item(dst, src.data.data(), static_cast<int>(src.data.size()), src.type.c_str(), src.name.c_str(),
                     src.begin, src.end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1u << 16) return 0;
    FuzzInput guard(data, size);
    Input in{data, size};
    const int slides = in.u8() % 12;
    std::vector<Item> items;
    items.reserve(static_cast<size_t>(slides) * 3 + 12);
    std::vector<std::string> texts(static_cast<size_t>(slides));
    std::vector<tCPS_Slide> nodes(static_cast<size_t>(slides));
    for (int i = 0; i < slides; ++i) {
        tCPS_Slide &s = nodes[static_cast<size_t>(i)];
        s = tCPS_Slide{};
        const uint8_t flags = in.u8();
        s.Duration = (flags & 0x80) ? in.i32() : static_cast<int>(in.u8()) * 100;
        if (flags & 1) s.Has_Image = 1, items.push_back(item(in)), set_item(s.Image, items.back());
        if (flags & 2) s.Has_Audio = 1, items.push_back(item(in)), set_item(s.Audio, items.back());
        if (flags & 4) s.Has_Video = 1, items.push_back(item(in)), set_item(s.Video, items.back());
        if (flags & 8) {
            s.Has_Text = 1;
            texts[static_cast<size_t>(i)] = in.str(200);
            s.Text.Text = texts[static_cast<size_t>(i)].data();
            s.Text.Length = (flags & 0x40) ? in.u8() : static_cast<int>(texts[static_cast<size_t>(i)].size());
            s.Text.Begin = in.time();
            s.Text.End = in.time();
        }
        if (i > 0) nodes[static_cast<size_t>(i) - 1].next = &s;
    }
    const int attachments = in.u8() % 12;
    std::vector<tCPS_AttachNode> atts(static_cast<size_t>(attachments));
    for (int i = 0; i < attachments; ++i) {
        items.push_back(item(in));
        Item &it = items.back();
        tCPS_AttachNode &a = atts[static_cast<size_t>(i)];
        a = tCPS_AttachNode{it.data.data(), it.name.data(), it.type.data(), static_cast<int>(it.data.size()), 0, nullptr};
        if (i > 0) atts[static_cast<size_t>(i) - 1].next = &a;
    }
    // Header texts are the codec's business (its own round-trip target
    // covers them): here they are printable ASCII.
    auto printable = [](std::string s) {
        for (char &c : s) c = static_cast<char>(0x20 + static_cast<unsigned char>(c) % 0x5F);
        return s;
    };
    std::string tid = printable(in.str(40)), to = printable(in.str(80)), subject = printable(in.str(120)),
                from = printable(in.str(40));
    tCPS_MmsData msg{};
    tMMS_SendReq &h = msg.Header.Send_Req;
    h.Transaction_Id = tid.data();
    h.To = to.empty() ? nullptr : to.data();
    h.Subject = subject.empty() ? nullptr : subject.data();
    h.From = from.empty() ? nullptr : from.data();
    h.Sender_Visibility = 1;
    h.Priority = in.u8() % 4;
    h.Message_Class = in.u8() % 5;
    msg.pSlide_List = slides ? nodes.data() : nullptr;
    msg.pAttach_List = attachments ? atts.data() : nullptr;

    tCPS_PduBuf pdu{nullptr, 0};
    const int rc = fnCPS_ComposeMMS(&msg, &pdu, 0);
    if (rc != 0) {
        if (pdu.data || rc > 0 || rc < -16) std::abort();
        return 0;
    }
    if (!pdu.data || pdu.length <= 0 || pdu.data[pdu.length] != 0 || h.ContentTypeAndBody) std::abort();
    // What was composed opens again.
    tCPS_MmsData back{};
    const int rc1 = fnCPS_ComposeMMS(&back, &pdu, 1);
    if (rc1 != 0) std::abort();
    fuzzhost::check_lists(back);
    if (back.Pdu_Size != pdu.length || back.Header.Send_Req.Body_Len != h.Body_Len) std::abort();
    fuzzhost::free_lists(back);
    tMMS_SendReq &b = back.Header.Send_Req;
    fuzzhost::release(b.Transaction_Id), fuzzhost::release(b.From), fuzzhost::release(b.To);
    fuzzhost::release(b.Cc), fuzzhost::release(b.Bcc), fuzzhost::release(b.Subject);
    fuzzhost::release(b.ContentTypeAndBody);
    fuzzhost::release(pdu.data);
    return 0;
}
