// Test messages as a relay delivers them: an m-retrieve-conf around a given
// Content-Type field and body, and multipart bodies built with the codec's
// body encoder. Header-only; users link the protocol module.
#ifndef RR_RETRIEVE_CONF_BUILDER_H
#define RR_RETRIEVE_CONF_BUILDER_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "MMSProl_Encapsulaton.h"

namespace rrtest {

struct RetrieveConfFields {
    std::string transactionId;
    std::string messageId;
    std::string from;     // empty: no From field
    std::string to;       // empty: no To field
    std::string subject;  // UTF-8; empty: no Subject field
    uint32_t date = 1700000000;
};

// m-retrieve-conf: Message-Type, Transaction-Id, MMS-Version, Message-Id,
// Date, From, To, Subject, then `body` (which begins with the 0x84
// Content-Type field).
inline std::vector<uint8_t> make_retrieve_conf(const RetrieveConfFields &f, const std::vector<uint8_t> &body) {
    std::vector<uint8_t> p = {0x8C, 0x84};
    auto text = [&p](const std::string &s) {
        p.insert(p.end(), s.begin(), s.end());
        p.push_back(0);
    };
    p.push_back(0x98);
    text(f.transactionId);
    p.insert(p.end(), {0x8D, 0x92});
    if (!f.messageId.empty()) {
        p.push_back(0x8B);
        text(f.messageId);
    }
    p.insert(p.end(), {0x85, 0x04, static_cast<uint8_t>(f.date >> 24), static_cast<uint8_t>(f.date >> 16),
                       static_cast<uint8_t>(f.date >> 8), static_cast<uint8_t>(f.date)});
    if (!f.from.empty()) {
        const std::string a = f.from + "/TYPE=PLMN";
        p.push_back(0x89);
        p.push_back(static_cast<uint8_t>(a.size() + 2));
        p.push_back(0x80);
        text(a);
    }
    if (!f.to.empty()) {
        p.push_back(0x97);
        text(f.to + "/TYPE=PLMN");
    }
    if (!f.subject.empty()) {
        // Encoded-string-value with charset UTF-8.
        p.push_back(0x96);
        const size_t len = f.subject.size() + 2;
        if (len < 31) {
            p.push_back(static_cast<uint8_t>(len));
        } else {
            p.push_back(0x1F);
            uint8_t tmp[5];
            qx::Writer w = qx::Writer::over(tmp, sizeof tmp);
            const int n = SetUintvar(w, static_cast<uint32_t>(len));
            p.insert(p.end(), tmp, tmp + n);
        }
        p.push_back(0xEA);
        text(f.subject);
    }
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// A multipart body built with the codec's encoder.
class BodyBuilder {
public:
    BodyBuilder &part(const std::string &type, const std::string &name, std::vector<uint8_t> data, int charset = -1) {
        parts_.push_back({type, name, std::move(data), charset});
        return *this;
    }
    BodyBuilder &smil(const std::string &doc) {
        smil_ = doc;
        hasSmil_ = true;
        return *this;
    }
    std::vector<uint8_t> encode() {
        std::vector<tMMS_Element> els(parts_.size());
        for (size_t i = 0; i < parts_.size(); ++i) {
            tMMS_Element &e = els[i];
            e = tMMS_Element{};
            e.Content_Type = const_cast<char *>(parts_[i].type.c_str());
            e.File_Name = const_cast<char *>(parts_[i].name.c_str());
            e.Data = parts_[i].data.data();
            e.Data_Len = static_cast<int>(parts_[i].data.size());
            if (parts_[i].charset >= 0) {
                e.Charset = parts_[i].charset;
                e.Has_Charset = 1;
            }
            if (i > 0) els[i - 1].next = &e;
        }
        smilstruct s{const_cast<char *>("application/smil"),
                     reinterpret_cast<uint8_t *>(const_cast<char *>(smil_.data())), static_cast<int>(smil_.size())};
        mmresstruct body{hasSmil_ ? &s : nullptr, els.empty() ? nullptr : els.data(), 0};
        int len = 0;
        uint8_t *b = fnMMS_EncodeBody(&body, &len);
        std::vector<uint8_t> out;
        if (b) out.assign(b, b + len);
        void *v = b;
        fnQX_Free(&v);
        return out;
    }

private:
    struct Part {
        std::string type, name;
        std::vector<uint8_t> data;
        int charset;
    };
    std::deque<Part> parts_;
    std::string smil_;
    bool hasSmil_ = false;
};

}  // namespace rrtest

#endif
