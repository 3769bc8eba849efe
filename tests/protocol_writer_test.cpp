// The bounded writer under every encoder: each WSP writer, given any buffer
// shorter than its value, writes nothing past it and reports the overflow;
// given exactly enough, it writes what it writes into a large buffer.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"
#include "qx_writer.h"
#include "test_support.h"

using rrtest::Bytes;
using rrtest::hex;

namespace {

constexpr uint8_t kGuard = 0xCC;
constexpr size_t kGuardBytes = 16;

struct Written {
    Bytes bytes;
    bool ok;
};

// Runs `write` on a writer of `cap` bytes followed by guard bytes, checks
// the guards and returns what the writer says it wrote.
Written run(const std::function<void(qx::Writer &)> &write, size_t cap) {
    std::vector<uint8_t> buf(cap + kGuardBytes, kGuard);
    qx::Writer w = qx::Writer::over(buf.data(), cap);
    write(w);
    for (size_t i = cap; i < buf.size(); ++i) EXPECT_EQ(buf[i], kGuard) << "byte " << i << " of a " << cap << "-byte writer";
    EXPECT_LE(w.written(), cap);
    return Written{Bytes(buf.data(), buf.data() + w.written()), w.ok()};
}

TEST(BoundedWriter, EveryWriterStopsAtTheEndOfItsBuffer) {
    const std::string longText(300, 'x');
    const struct {
        const char *what;
        std::function<void(qx::Writer &)> write;
    } writers[] = {
        {"text", [](qx::Writer &w) { SetTextString(w, "hello"); }},
        {"quote text", [](qx::Writer &w) { SetQuoteTextString(w, "\xC3\xA9t\xC3\xA9"); }},
        {"uintvar", [](qx::Writer &w) { SetUintvar(w, 0xFFFFFFFFu); }},
        {"value length", [](qx::Writer &w) { SetLengthValue(w, 16384); }},
        {"long integer", [](qx::Writer &w) { SetLongInteger(w, 0x7FFFFFFF); }},
        {"encoded string", [&](qx::Writer &w) { SetEncodedStringValue(w, longText.c_str()); }},
        {"address", [](qx::Writer &w) { SetAddressValue(w, "+4912345"); }},
        {"address list", [](qx::Writer &w) { SetAddressList(w, "+1; a@b.c ;+333", 0x97); }},
        {"format", [](qx::Writer &w) { w.format("<par dur=\"%dms\">", 5000); }},
        {"mixed", [](qx::Writer &w) {
             w.byte(0x8C);
             w.bytes("\x80\x98", 2);
             w.str("T1");
             w.byte(0);
         }},
    };
    for (const auto &wr : writers) {
        const Written whole = run(wr.write, 70000);
        ASSERT_TRUE(whole.ok) << wr.what;
        ASSERT_FALSE(whole.bytes.empty()) << wr.what;
        const size_t need = whole.bytes.size();
        // Exactly enough room (format wants one byte more for its terminator).
        const size_t exact = need + (std::string(wr.what) == "format" ? 1 : 0);
        const Written fits = run(wr.write, exact);
        EXPECT_TRUE(fits.ok) << wr.what;
        EXPECT_EQ(hex(fits.bytes), hex(whole.bytes)) << wr.what;
        for (size_t cap = 0; cap < exact; ++cap) {
            const Written cut = run(wr.write, cap);
            EXPECT_FALSE(cut.ok) << wr.what << " in " << cap << " bytes";
            // What was written before the overflow is a prefix of the value.
            EXPECT_EQ(hex(cut.bytes), hex(Bytes(whole.bytes.begin(), whole.bytes.begin() + static_cast<long>(cut.bytes.size()))))
                << wr.what << " in " << cap << " bytes";
        }
    }
}

TEST(BoundedWriter, AnOverflowRefusesEveryLaterWrite) {
    uint8_t buf[4];
    qx::Writer w = qx::Writer::over(buf, sizeof buf);
    w.bytes("abc", 3);
    w.bytes("de", 2);  // does not fit
    EXPECT_FALSE(w.ok());
    w.byte('z');  // would fit, but the writer has failed
    SetTextString(w, "");
    EXPECT_EQ(w.written(), 3u);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);

    qx::Writer none = qx::Writer::over(nullptr, 0);
    none.byte(1);
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.written(), 0u);
}

// The sizes the encoders add up agree with the writers.
TEST(BoundedWriter, SizeHelpersMatchTheWriters) {
    for (uint32_t v : {0u, 30u, 31u, 127u, 128u, 16383u, 16384u, 2097152u, 0xFFFFFFFFu}) {
        EXPECT_EQ(run([v](qx::Writer &w) { SetUintvar(w, v); }, 8).bytes.size(), static_cast<size_t>(UintvarSize(v)))
            << v;
        EXPECT_EQ(run([v](qx::Writer &w) { SetLengthValue(w, v); }, 8).bytes.size(),
                  static_cast<size_t>(LengthValueSize(v)))
            << v;
    }
    for (const char *list : {"", "+1", "+1;+2", ";;+1; ;", "a@b.c;+123456789012345678901234567890"}) {
        const Written w = run([list](qx::Writer &o) { SetAddressList(o, list, 0x82); }, 4096);
        EXPECT_LE(w.bytes.size(), static_cast<size_t>(AddressListSizeBound(list))) << list;
    }
}

}  // namespace
