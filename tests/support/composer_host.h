// A host's message for composer tests: slides and attachments held in STL
// storage, turned into the C lists the composer reads, and the lists the
// composer builds read back (and released the way a host releases them).
#ifndef RR_COMPOSER_HOST_H
#define RR_COMPOSER_HOST_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rorodire.h"
#include "rorodire_host.h"

namespace rrtest {

struct HostMedia {
    std::string type;
    std::string name;
    std::vector<uint8_t> data;
    int begin = 0;
    int end = 5000;
    bool operator==(const HostMedia &) const = default;
};

struct HostText {
    std::string text;
    int begin = 0;
    int end = 5000;
    bool operator==(const HostText &) const = default;
};

struct HostSlide {
    std::optional<HostMedia> image, audio, video;
    std::optional<HostText> text;
    int dur = 0;
    bool operator==(const HostSlide &) const = default;
};

struct HostAttachment {
    std::string name;
    std::string type;
    std::vector<uint8_t> data;
    bool operator==(const HostAttachment &) const = default;
};

struct HostMessage {
    std::vector<HostSlide> slides;
    std::vector<HostAttachment> attachments;
    bool operator==(const HostMessage &) const = default;
};

// The C lists of a HostMessage; pointers point into the message, which must
// outlive this.
class HostLists {
public:
    explicit HostLists(const HostMessage &m) {
        slides_.resize(m.slides.size());
        for (size_t i = 0; i < m.slides.size(); ++i) {
            const HostSlide &s = m.slides[i];
            tCPS_Slide &n = slides_[i];
            n = tCPS_Slide{};
            if (s.image) {
                n.Has_Image = 1;
                fill(n.Image, *s.image);
            }
            if (s.audio) {
                n.Has_Audio = 1;
                n.Audio.Data = const_cast<uint8_t *>(s.audio->data.data());
                n.Audio.Content_Type = const_cast<char *>(s.audio->type.c_str());
                n.Audio.Name = const_cast<char *>(s.audio->name.c_str());
                n.Audio.Size = static_cast<int>(s.audio->data.size());
                n.Audio.Begin = s.audio->begin;
                n.Audio.End = s.audio->end;
            }
            if (s.video) {
                n.Has_Video = 1;
                fill(n.Video, *s.video);
            }
            if (s.text) {
                n.Has_Text = 1;
                n.Text.Text = const_cast<char *>(s.text->text.c_str());
                n.Text.Length = static_cast<int>(s.text->text.size());
                n.Text.Begin = s.text->begin;
                n.Text.End = s.text->end;
            }
            n.Duration = s.dur;
            if (i > 0) slides_[i - 1].next = &n;
        }
        atts_.resize(m.attachments.size());
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            const HostAttachment &a = m.attachments[i];
            tCPS_AttachNode &n = atts_[i];
            n = tCPS_AttachNode{};
            n.Data = const_cast<uint8_t *>(a.data.data());
            n.Name = const_cast<char *>(a.name.c_str());
            n.Content_Type = const_cast<char *>(a.type.c_str());
            n.Size = static_cast<int>(a.data.size());
            if (i > 0) atts_[i - 1].next = &n;
        }
    }
    tCPS_Slide *slides() { return slides_.empty() ? nullptr : slides_.data(); }
    tCPS_AttachNode *attachments() { return atts_.empty() ? nullptr : atts_.data(); }
    std::vector<tCPS_Slide> &nodes() { return slides_; }

private:
    template <typename Item>
    static void fill(Item &it, const HostMedia &m) {
        rrhost::set_item(it, m.data.data(), static_cast<int>(m.data.size()), m.type.c_str(), m.name.c_str(), m.begin,
                         m.end);
    }
    std::vector<tCPS_Slide> slides_;
    std::vector<tCPS_AttachNode> atts_;
};

inline std::string str_or_empty(const char *s) { return s ? s : ""; }

// Reads the lists the library built into a HostMessage and checks the
// buffers end with the 0 byte the contract promises.
inline HostMessage read_lists(const tCPS_MmsData &d, std::string *problem = nullptr) {
    HostMessage m;
    int count = 0;
    auto media = [&](const uint8_t *data, const char *type, const char *name, int size, int begin, int end) {
        HostMedia h;
        h.type = str_or_empty(type);
        h.name = str_or_empty(name);
        if (data && size > 0) h.data.assign(data, data + size);
        if (problem && data && size >= 0 && data[size] != 0) *problem += "media buffer without trailing 0; ";
        h.begin = begin;
        h.end = end;
        return h;
    };
    for (const tCPS_Slide *n = d.pSlide_List; n; n = n->next) {
        ++count;
        HostSlide s;
        if (n->Has_Image)
            s.image = media(n->Image.Data, n->Image.Content_Type, n->Image.Name, n->Image.Size, n->Image.Begin,
                            n->Image.End);
        if (n->Has_Audio)
            s.audio = media(n->Audio.Data, n->Audio.Content_Type, n->Audio.Name, n->Audio.Size, n->Audio.Begin,
                            n->Audio.End);
        if (n->Has_Video)
            s.video = media(n->Video.Data, n->Video.Content_Type, n->Video.Name, n->Video.Size, n->Video.Begin,
                            n->Video.End);
        if (n->Has_Text) {
            HostText t;
            if (n->Text.Text) t.text.assign(n->Text.Text, static_cast<size_t>(n->Text.Length));
            if (problem && n->Text.Text && static_cast<int>(std::strlen(n->Text.Text)) != n->Text.Length)
                *problem += "text length differs from its string; ";
            t.begin = n->Text.Begin;
            t.end = n->Text.End;
            s.text = t;
        }
        s.dur = n->Duration;
        m.slides.push_back(s);
    }
    if (problem && count != d.Slide_Num) *problem += "slide count differs from the list; ";
    count = 0;
    for (const tCPS_AttachNode *n = d.pAttach_List; n; n = n->next) {
        ++count;
        HostAttachment a;
        a.name = str_or_empty(n->Name);
        a.type = str_or_empty(n->Content_Type);
        if (n->Data && n->Size > 0) a.data.assign(n->Data, n->Data + n->Size);
        if (problem && n->Data && n->Data[n->Size] != 0) *problem += "attachment without trailing 0; ";
        m.attachments.push_back(a);
    }
    if (problem && count != d.Attach_Num) *problem += "attachment count differs from the list; ";
    return m;
}

// Releasing what the library handed out, as a host does.
using rrhost::free_lists;
using rrhost::free_retrieve_header;
using rrhost::free_send_header;

}  // namespace rrtest

#endif
