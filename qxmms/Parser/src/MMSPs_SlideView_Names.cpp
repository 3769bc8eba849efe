// Media kinds and default file names of message parts.
#include <cstdio>
#include <cstring>

#include "MMSPs_Parse_State.h"
#include "MMSPs_SlideView.h"
#include "qx_internal.h"

namespace {

struct DefaultName {
    const char *type;
    const char *pattern;  // "%d" is the part's position; null: "unKnown"
};

// Compared exactly, in this order; the pairings are the system's own
// (video/mp4 -> .3gp, video/3gpp -> .mp4, ...).
constexpr DefaultName kDefaultNames[] = {
    {"text/plain", "text%d.txt"},
    {"text/css", "text%d.css"},
    {"text/richtext", "text%d.rtx"},
    {"text/rtf", "text%d.rtf"},
    {"text/vnd.wap.wml", "text%d.wml"},
    {"text/x-vCalendar", "vCalendar%d.vcs"},
    {"text/x-vCard", "vCard%d.vcf"},
    {"image/bmp", "image%d.bmp"},
    {"image/x-bmp", "image%d.bmp"},
    {"image/jpg", "image%d.jpg"},
    {"image/jpeg", "image%d.jpeg"},
    {"image/gif", "image%d.gif"},
    {"image/ief", "image%d.ief"},
    {"image/vnd.wap.wbmp", "image%d.wbmp"},
    {"image/wbmp", "image%d.wbmp"},
    {"image/tiff", "image%d.tif"},
    {"image/tif", "image%d.tif"},
    {"image/x-rgb", "image%d.rgb"},
    {"video/x-msvideo", "video%d.avi"},
    {"video/x-sgi-movie", "video%d.movie"},
    {"Video/3gpp", "video%d.3gp"},
    {"video/mp4", "video%d.3gp"},
    {"video/h263", "video%d.3gp"},
    {"video/3gpp", "video%d.mp4"},
    {"Video/mp4", "video%d.mp4"},
    {"Video/x-ms-wmv", "video%d.wmv"},
    {"video/asf", "video%d.wmv"},
    {"video/x-ms-wmv", "video%d.asf"},
    {"Video/asf", "video%d.asf"},
    {"video/x-ms-asf", "video%d.asf"},
    {"video/mpg", "video%d.mpg"},
    {"video/mpeg", "video%d.mpg"},
    {"audio/midi", "audio%d.mid"},
    {"audio/mid", "audio%d.mid"},
    {"audio/x-midi", "audio%d.mid"},
    {"audio/x-mid", "audio%d.mid"},
    {"audio/imy", "audio%d.imy"},
    {"audio/imelody", "audio%d.imy"},
    {"text/x-imelody", "audio%d.imy"},
    {"audio/wav", "audio%d.wav"},
    {"audio/x-wav", "audio%d.wav"},
    {"audio/basic", "audio%d.wav"},
    {"audio/x-mpeg", "audio%d.mp2"},
    {"audio/mmf", "audio%d.mmf"},
    {"application/vnd.smaf", "audio%d.mmf"},
    {"application/vnd.mmf", "audio%d.mmf"},
    {"audio/mpeg", "audio%d.mp3"},
    {"audio/mp3", "audio%d.mp3"},
    {"audio/x-mp3", "audio%d.mp3"},
    {"audio/mpeg3", "audio%d.mp3"},
    {"audio/x-mpeg3", "audio%d.mp3"},
    {"audio/amr", "audio%d.amr"},
    {"audio/qcp", "audio%d.qcp"},
    {"audio/3gpp", "audio%d.mp4"},
    {"Audio/mp4", "audio%d.mp4"},
    {"Audio/3gpp", "audio%d.3gp"},
    {"audio/mp4", "audio%d.3gp"},
    {"audio/asf", "Audio%d.asf"},
    {"audio/amr-wb", "audio%d.awb"},
    {"audio/x-ms-wma", "audio%d.wma"},
    {"audio/xmf", "audio%d.xmf"},
    {"audio/mobile-xmf", "audio%d.xmf"},
    {"audio/au", "audio%d.au"},
    {"audio/x-au", "audio%d.au"},
    {"Audio/basic", "audio%d.au"},
};

}  // namespace

int SmilGetDefaultName(char *buf, const char *contentType, int number) {
    if (!buf || !contentType) return 0;
    for (const DefaultName &d : kDefaultNames) {
        if (std::strcmp(d.type, contentType) == 0) {
            std::snprintf(buf, SMIL_DEFAULT_NAME_SIZE, d.pattern, number);
            return 1;
        }
    }
    fnQX_STRLCPY(buf, "unKnown", SMIL_DEFAULT_NAME_SIZE);
    return 1;
}

int SmilGetMediaKind(const char *contentType) {
    if (!contentType) return SMIL_KIND_FAILED;
    char *lower = smil::checked(fnQX_MEMSTRCOPY(contentType));
    if (!lower) return SMIL_KIND_FAILED;
    fnQX_STRLOWER(lower);
    int kind = SMIL_KIND_OTHER;
    if (std::strcmp(lower, "text/plain") == 0) kind = SMIL_KIND_TEXT;
    else if (std::strncmp(lower, "image", 5) == 0) kind = SMIL_KIND_IMAGE;
    else if (std::strncmp(lower, "audio", 5) == 0) kind = SMIL_KIND_AUDIO;
    else if (std::strncmp(lower, "video", 5) == 0) kind = SMIL_KIND_VIDEO;
    qx::free_ptr(lower);
    return kind;
}
