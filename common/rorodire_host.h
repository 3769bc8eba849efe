// For C++ hosts of the library (the tool, tests, fuzz targets, benchmarks):
// the slide and attachment lists built over storage the host owns, and the
// lists and header texts the library hands out released the way a host
// releases them. Header only; not part of the library.
#ifndef RORODIRE_HOST_H
#define RORODIRE_HOST_H

#include <cstddef>

#include "rorodire.h"

namespace rrhost {

// fnQX_Free of a typed pointer, which is nulled.
template <typename T>
inline void release(T *&p) {
    void *v = const_cast<void *>(static_cast<const void *>(p));
    fnQX_Free(&v);
    p = nullptr;
}

// A media item over the host's bytes and texts (not copied).
template <typename Item>
inline void set_item(Item &it, const void *data, int size, const char *type, const char *name, int begin, int end) {
    it.Data = static_cast<unsigned char *>(const_cast<void *>(data));
    it.Content_Type = const_cast<char *>(type);
    it.Name = const_cast<char *>(name);
    it.Size = size;
    it.Begin = begin;
    it.End = end;
}

// Chains n nodes in order through their `next` pointers.
template <typename Node>
inline void link(Node *nodes, size_t n) {
    for (size_t i = 0; i + 1 < n; ++i) nodes[i].next = &nodes[i + 1];
    if (n) nodes[n - 1].next = nullptr;
}

// Releases the slide and attachment lists the library built: every buffer,
// text and node.
inline void free_lists(tCPS_MmsData &d) {
    for (tCPS_Slide *s = d.pSlide_List; s;) {
        tCPS_Slide *next = s->next;
        release(s->Image.Data), release(s->Image.Content_Type), release(s->Image.Name);
        release(s->Audio.Data), release(s->Audio.Content_Type), release(s->Audio.Name);
        release(s->Video.Data), release(s->Video.Content_Type), release(s->Video.Name);
        release(s->Text.Text);
        release(s);
        s = next;
    }
    for (tCPS_AttachNode *a = d.pAttach_List; a;) {
        tCPS_AttachNode *next = a->next;
        release(a->Data), release(a->Name), release(a->Content_Type);
        release(a);
        a = next;
    }
    d.pSlide_List = nullptr;
    d.pAttach_List = nullptr;
    d.Slide_Num = d.Attach_Num = 0;
}

// The texts and body of a send request's header the library handed out.
inline void free_send_header(tMMS_SendReq &h) {
    release(h.Transaction_Id), release(h.From), release(h.To), release(h.Cc), release(h.Bcc), release(h.Subject);
    release(h.ContentTypeAndBody);
}

// The texts and body of a retrieved message's header the library handed out.
inline void free_retrieve_header(tMMS_RetrieveConf &h) {
    release(h.body), release(h.Transaction_Id), release(h.Message_Id), release(h.From), release(h.To), release(h.Cc);
    release(h.Subject);
}

}  // namespace rrhost

#endif
