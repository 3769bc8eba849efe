// SMIL writer and body builder: validates the model, writes the SMIL
// presentation of its slides (a 176 x 220 layout, image region above text
// region) and collects the presentation, the slide media and the
// attachments into the parts the multipart body encoder writes.
#include <cstdio>
#include <cstring>

#include "MMSCps_Public.h"
#include "MMSPs_SlideView.h"
#include "qx_internal.h"
#include "qx_log.h"
#include "qx_writer.h"

namespace {

constexpr char kSmilType[] = "application/smil";
constexpr char kTextPlain[] = "text/plain";
constexpr int kCharsetUtf8 = 106;
constexpr int kSmilInitialSize = 3072;
// Ten slides of media names of any length the model holds stay far below.
constexpr int kSmilMaxSize = 1 << 28;
constexpr int kSmilLogPiece = 50;

constexpr char kSmilHead[] =
    "<smil>\r\n<head>\r\n<meta name=\"title\" content=\"mms info\" />\r\n"
    "<meta name=\"author\" content=\"VRN Corporation\" />\r\n"
    "<layout>\r\n<root-layout width=\"176\" height=\"220\"/>\r\n"
    "<region id=\"Image\" width=\"160\" height=\"170\" left=\"0\" top=\"0\" fit=\"meet\" />\r\n"
    "<region id=\"Text\" width=\"160\" height=\"30\" left=\"0\" top=\"170\" fit=\"meet\" />\r\n"
    "</layout>\r\n</head>\r\n<body>\r\n";
constexpr char kSmilTail[] = "</body>\r\n</smil>";

// The document is written through the bounded writer into a buffer that
// starts at 3072 bytes; when the slides do not fit, the buffer is doubled
// and the document written again.
struct SmilDoc {
    qx::Writer w;

    void put(const char *s) { w.str(s); }
    void put_time(int value) {
        char t[CPS_TIME_BUF];
        CPS_FormatTime(t, value);
        w.str(t);
    }
    void put_color(uint32_t colour) { w.format("#%x", colour); }
    // A media name as the URI reference its part's Content-Location holds:
    // nothing in it can break the document ("&", quotes, brackets, control
    // bytes and bytes of 0x80 or more are percent-encoded).
    void put_name(const char *name) { SetUriEncoded(w, name); }
    bool noMemory = false;
};

// A media item's name and content type.
struct tCPS_MediaRef {
    const char *name;
    const char *type;
};

// The name a media item goes by: the host's, or, for an empty one, the name a
// reader gives an unnamed part of that content type, numbered by its slide
// (an empty src would make the whole presentation unreadable).
const char *media_name(const char *name, const char *type, int slide, char (&buf)[SMIL_DEFAULT_NAME_SIZE]) {
    if (name && name[0]) return name;
    if (!SmilGetDefaultName(buf, type ? type : "", slide)) buf[0] = 0;
    return buf;
}

// Times of an item within its slide: an end past the slide's duration is
// cut to it, and a begin that is not before the end becomes 0.
void limit_times(int &begin, int &end, int dur) {
    if (end > dur) end = dur;
    if (begin >= end) begin = 0;
}

void put_begin_end(SmilDoc &d, int begin, int end) {
    d.put(" begin=\"");
    d.put_time(begin);
    d.put("ms\" end=\"");
    d.put_time(end);
    d.put("ms\" ");
}

void put_media(SmilDoc &d, const char *tag, const tCPS_MediaRef &m, int slide, const char *region, int begin,
               int end) {
    char *name = CPS_MediaPartName(m.name, m.type, slide);
    if (!name) {
        d.noMemory = true;
        return;
    }
    d.put("<");
    d.put(tag);
    d.put(" src=\"");
    d.put_name(name);
    qx::free_ptr(name);
    d.put(region);
    put_begin_end(d, begin, end);
    d.put("/>\r\n");
}

void write_slide(SmilDoc &d, tCPS_SlideStruct &s, int index, int &dur) {
    if (dur <= 0) dur = CPS_DEFAULT_DURATION;
    d.put("<par dur=\"");
    d.put_time(dur);
    d.put("ms\">\r\n");
    if (s.IsBgColor) {
        d.put(" <param name=\"background-color\" value=\"");
        d.put_color(s.bgColor);
        d.put("\" />\r\n ");
    }
    if (s.Has_Video) {
        limit_times(s.Video.Begin, s.Video.End, dur);
        put_media(d, "video", {s.Video.Name, s.Video.Content_Type}, index, "\" region=\"Image\"", s.Video.Begin,
                  s.Video.End);
    } else {
        if (s.Has_Image) {
            limit_times(s.Image.Begin, s.Image.End, dur);
            put_media(d, "img", {s.Image.Name, s.Image.Content_Type}, index, "\" region=\"Image\"", s.Image.Begin,
                      s.Image.End);
        }
        if (s.Has_Audio) {
            limit_times(s.Audio.Begin, s.Audio.End, dur);
            put_media(d, "audio", {s.Audio.Name, s.Audio.Content_Type}, index, "\" ", s.Audio.Begin, s.Audio.End);
        }
    }
    if (s.Has_Text) {
        limit_times(s.Text.Begin, s.Text.End, dur);
        char name[32];
        std::snprintf(name, sizeof name, "Text%d.txt", index);
        d.put("<text src=\"");
        d.put(name);
        d.put("\" region=\"Text\"");
        put_begin_end(d, s.Text.Begin, s.Text.End);
        if (s.IsForeColor) {
            d.put(">\r\n");
            d.put(" <param name=\"foreground-color\" value=\"");
            d.put_color(s.foreColor);
            d.put("\" />\r\n ");
            d.put("</text>\r\n");
        } else {
            d.put("/>\r\n");
        }
    }
    d.put("</par>\r\n");
}

// ---------------------------------------------------------------- parts

void free_part(tMMS_Element *e, bool ownsData) {
    if (!e) return;
    if (ownsData) qx::free_ptr(e->Data);
    qx::free_ptr(e->Content_Type);
    qx::free_ptr(e->File_Name);
    qx::free_ptr(e);
}

// The body's release routine frees the data of every "text/plain" part, so
// such parts always carry a private copy (size bytes and a 0 byte); other
// parts borrow the model's buffer.
bool is_text_plain(const char *type) { return type && std::strcmp(type, kTextPlain) == 0; }

tMMS_Element *new_part(const char *type, char *fileName, uint8_t *data, int size) {
    auto *e = qx::alloc_rec<tMMS_Element>();
    if (!e) {
        qx::free_ptr(fileName);
        return nullptr;
    }
    e->File_Name = fileName;
    e->Content_Type = type ? fnQX_MEMSTRCOPY(type) : nullptr;
    if (!fileName || (type && !e->Content_Type)) {
        free_part(e, false);
        return nullptr;
    }
    if (is_text_plain(type)) {
        e->Data = size > 0 ? static_cast<uint8_t *>(fnQX_Malloc(size + 1)) : nullptr;
        if (!e->Data && size > 0) {
            free_part(e, false);
            return nullptr;
        }
        if (e->Data && data) std::memcpy(e->Data, data, static_cast<size_t>(size));
    } else {
        e->Data = data;
    }
    e->Data_Len = size;
    return e;
}

struct PartList {
    tMMS_Element *head = nullptr;
    tMMS_Element *tail = nullptr;
    void append(tMMS_Element *e) {
        if (tail)
            tail->next = e;
        else
            head = e;
        tail = e;
    }
};

bool add_media_part(PartList &list, const char *type, const char *name, int slide, uint8_t *data, int size) {
    tMMS_Element *e = new_part(type, CPS_MediaPartName(name, type, slide), data, size);
    if (!e) return false;
    list.append(e);
    return true;
}

bool add_text_part(PartList &list, const tCPS_SlideStruct &s, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "Text%d.txt", index);
    const int len = static_cast<int>(std::strlen(s.Text.Data));
    tMMS_Element *e = new_part(kTextPlain, fnQX_MEMSTRCOPY(name), reinterpret_cast<uint8_t *>(s.Text.Data), len);
    if (!e) return false;
    e->Charset = kCharsetUtf8;
    e->Has_Charset = 1;
    list.append(e);
    return true;
}

// Whether one of the slide's media goes by the name of its text part. A
// reader takes, for each reference of the presentation in turn, the first
// part of that name not taken yet, and the presentation names the media
// before the text: such a slide's text part then follows its media.
bool media_named_like_text(const tCPS_SlideStruct &s, int index) {
    char textName[32];
    std::snprintf(textName, sizeof textName, "Text%d.txt", index);
    auto named = [&](const char *name) { return name && fnQX_STRICMP(name, textName) == 0; };
    if (s.Has_Video) return named(s.Video.Name);
    return (s.Has_Image && named(s.Image.Name)) || (s.Has_Audio && named(s.Audio.Name));
}

bool add_slide_parts(PartList &list, const tCPS_SlideStruct &s, int index) {
    const bool hasText = s.Has_Text && s.Text.Length > 0;
    const bool textLast = hasText && media_named_like_text(s, index);
    if (hasText && !textLast && !add_text_part(list, s, index)) return false;
    if (s.Has_Video) {
        if (!add_media_part(list, s.Video.Content_Type, s.Video.Name, index, s.Video.Data, s.Video.Size)) return false;
    } else {
        if (s.Has_Image && !add_media_part(list, s.Image.Content_Type, s.Image.Name, index, s.Image.Data, s.Image.Size))
            return false;
        if (s.Has_Audio && !add_media_part(list, s.Audio.Content_Type, s.Audio.Name, index, s.Audio.Data, s.Audio.Size))
            return false;
    }
    return !textLast || add_text_part(list, s, index);
}

bool add_attachment_part(PartList &list, const tCPS_Attachment &a) {
    // Attachments are not named by the presentation: their names go out as
    // the host gave them.
    tMMS_Element *e = new_part(a.Content_Type, CPS_WireName(a.Name ? a.Name : ""), a.Data, a.Size);
    if (!e) return false;
    list.append(e);
    return true;
}

smilstruct *new_smil_part() {
    auto *s = qx::alloc_rec<smilstruct>();
    if (!s) return nullptr;
    s->Content_Type = fnQX_MEMSTRCOPY(kSmilType);
    char *doc = s->Content_Type ? CPS_SmilBuild() : nullptr;
    if (!doc) {
        qx::free_ptr(s->Content_Type);
        qx::free_ptr(s);
        return nullptr;
    }
    s->Data = reinterpret_cast<uint8_t *>(doc);
    s->Data_Len = static_cast<int>(std::strlen(doc));
    QX_LOG("SMIL BEGIN len:%d\n", s->Data_Len);
    if (qx::log_enabled()) {
        char piece[kSmilLogPiece + 1];
        for (int off = 0; off < s->Data_Len; off += kSmilLogPiece) {
            const int n = s->Data_Len - off < kSmilLogPiece ? s->Data_Len - off : kSmilLogPiece;
            std::memcpy(piece, doc + off, static_cast<size_t>(n));
            piece[n] = 0;
            QX_LOG("%s", piece);
        }
    }
    QX_LOG("SMIL END\n");
    return s;
}

}  // namespace

char *CPS_WireName(const char *name) {
    char *word = nullptr;
    switch (EncodedWordGuard(name, &word)) {
        case WordGuard::AsIs: return fnQX_MEMSTRCOPY(name);
        case WordGuard::Encoded: return word;
        default: return nullptr;  // refused before composing began, or memory is short
    }
}

char *CPS_MediaPartName(const char *name, const char *type, int slide) {
    char invented[SMIL_DEFAULT_NAME_SIZE];
    return CPS_WireName(media_name(name, type, slide, invented));
}

int CPS_CheckSlides() {
    const auto &m = cps_model();
    int k = 0;
    for (int i = 0; i < CPS_MAX_SLIDES && m.Slide_In_Use[i]; ++i) {
        const tCPS_SlideStruct *s = m.slidestruct[i];
        if (!s) return 0;
        if (s->Has_Text && (!s->Text.Data || s->Text.Length <= 0)) return 0;
        if (s->Has_Video) {
            if (s->Has_Image || s->Has_Audio) return 0;
            if (!s->Video.Data || !s->Video.Content_Type || !s->Video.Name || s->Video.Size <= 0) return 0;
        } else {
            if (s->Has_Image && (!s->Image.Data || !s->Image.Content_Type || !s->Image.Name || s->Image.Size <= 0))
                return 0;
            if (s->Has_Audio && (!s->Audio.Data || !s->Audio.Content_Type || !s->Audio.Name || s->Audio.Size <= 0))
                return 0;
        }
        ++k;
    }
    return k == m.totalSlide ? 1 : 0;
}

void CPS_FormatTime(char *dst, int value) {
    if (!dst) return;
    uint32_t v = static_cast<uint32_t>(value);
    if (v >= static_cast<uint32_t>(CPS_MAX_TIME)) v = CPS_MAX_TIME;
    std::snprintf(dst, CPS_TIME_BUF, "%d", static_cast<int>(v));
}

// Writes the whole document; false when a slide reference is missing.
bool write_document(SmilDoc &d) {
    auto &m = cps_model();
    d.put(kSmilHead);
    for (int i = 0; i < CPS_MAX_SLIDES && m.Slide_In_Use[i]; ++i) {
        if (!m.slidestruct[i]) return false;
        write_slide(d, *m.slidestruct[i], i, m.Slide_Dur[i]);
        if (d.noMemory) return false;
    }
    d.put(kSmilTail);
    return true;
}

char *CPS_SmilBuild() {
    for (size_t size = kSmilInitialSize; size <= static_cast<size_t>(kSmilMaxSize); size *= 2) {
        auto *buf = static_cast<char *>(fnQX_Malloc(static_cast<int>(size)));
        if (!buf) return nullptr;
        // One byte stays for the terminating 0 (the block is zero-filled).
        SmilDoc d{qx::Writer::over(buf, size - 1)};
        if (!write_document(d)) {
            qx::free_ptr(buf);
            return nullptr;
        }
        if (d.w.ok()) return buf;
        qx::free_ptr(buf);
    }
    return nullptr;
}

mmresstruct *CPS_BuildParts(int *err) {
    if (err) *err = 0;
    if (!CPS_CheckSlides()) return nullptr;
    const auto &m = cps_model();
    smilstruct *smil = new_smil_part();
    PartList list;
    bool ok = smil != nullptr;
    for (int i = 0; ok && i < CPS_MAX_SLIDES && m.Slide_In_Use[i]; ++i)
        if (m.slidestruct[i]) ok = add_slide_parts(list, *m.slidestruct[i], i);
    for (int j = 0; ok && j < CPS_MAX_ATTACHMENTS && j < m.TotalAttachment; ++j)
        if (m.attachment[j]) ok = add_attachment_part(list, *m.attachment[j]);
    mmresstruct *r = ok ? qx::alloc_rec<mmresstruct>() : nullptr;
    if (!r) {
        // Everything collected so far is released the way the body's own
        // release routine would.
        if (smil) {
            qx::free_ptr(smil->Content_Type);
            qx::free_ptr(smil->Data);
            qx::free_ptr(smil);
        }
        for (tMMS_Element *e = list.head; e;) {
            tMMS_Element *next = e->next;
            free_part(e, is_text_plain(e->Content_Type));
            e = next;
        }
        if (err) *err = COMPOSER_MEMERY_ALLOC_FAIL;
        return nullptr;
    }
    r->Smil = smil;
    r->Parts = list.head;
    return r;
}

uint8_t *CPS_BuildBody(int *len, int *err) {
    if (len) *len = 0;
    if (err) *err = 0;
    int partsErr = 0;
    mmresstruct *r = CPS_BuildParts(&partsErr);
    if (!r) {
        if (err) *err = partsErr;
        return nullptr;
    }
    int n = 0;
    uint8_t *body = fnMMS_EncodeBody(r, &n);
    fnMMS_FreeComposedBody(r);
    if (!body) {
        if (err) *err = COMPOSER_MEMERY_ALLOC_FAIL;
        return nullptr;
    }
    if (len) *len = n;
    return body;
}
