// Media references: finds the body part that a src (or a part name) means,
// marks it as used and fills a media record from it.
#include <cstring>

#include "MMSPs_Parse.h"
#include "MMSPs_Parse_State.h"
#include "qx_internal.h"

namespace {

tMMS_Element g_noMatch{};

bool same(const char *a, const char *b) { return a && b && fnQX_STRICMP(a, b) == 0; }

// The text after the first "cid:" (any letter case) in the reference, or null.
const char *after_cid(const char *ref) {
    for (const char *p = ref; *p; ++p) {
        if ((p[0] == 'c' || p[0] == 'C') && (p[1] == 'i' || p[1] == 'I') && (p[2] == 'd' || p[2] == 'D') && p[3] == ':')
            return p + 4;
    }
    return nullptr;
}

// Takes P; when P is already taken, the first later part whose field equals
// the key and that is not taken yet; when there is none, P again (shared).
tMMS_Element *take(tMMS_Element *p, char *tMMS_Element::*field, const char *key) {
    if (p->IsSmil != 1) {
        p->IsSmil = 1;
        return p;
    }
    for (tMMS_Element *q = p->next; q; q = q->next) {
        if (q->IsSmil != 1 && same(q->*field, key)) {
            q->IsSmil = 1;
            return q;
        }
    }
    return p;
}

bool bad_ref(const char *ref) { return !ref || !ref[0]; }

}  // namespace

int SmilLoadMedia(tSMIL_Media *rec, const char *ref) {
    if (!rec || bad_ref(ref)) return 0;
    tMMS_Element *part = SmilFindPart(SmilGetPartList(), ref);
    if (!part) return 0;
    if (part == SMIL_NO_MATCH || !part->Data) return 1;
    // A second load of the same record replaces what the first one copied.
    qx::free_ptr(rec->Type);
    qx::free_ptr(rec->Name);
    if (part->Content_Type) {
        rec->Type = smil::checked(fnQX_MEMSTRCOPY(part->Content_Type));
        if (!rec->Type) return 0;
        if (SmilIsDrmContentType(part->Content_Type)) {
            rec->DrmType = SmilGetDrmType(part->Content_Type, part->Data, part->Data_Len, nullptr, nullptr);
            // What the slide may not show is listed as an attachment.
            if (rec->DrmType != SMIL_DRM_MESSAGE) part->IsSmil = 0;
            rec->IsDrm = 1;
        }
    }
    if (part->Fwd_Present == 1) {
        rec->DrmType = SMIL_DRM_FORWARD;
        rec->IsDrm = 1;
        rec->FwdParam = part->Fwd_Param;
        rec->FwdParamLen = part->Fwd_Param_Len;
    }
    if (const char *name = smil::part_name(part)) {
        rec->Name = smil::checked(fnQX_MEMSTRCOPY(name));
        if (!rec->Name) return 0;
    }
    rec->Data = part->Data;
    rec->Length = part->Data_Len;
    return 1;
}

tMMS_Element *const SMIL_NO_MATCH = &g_noMatch;

void SmilSetPartList(tMMS_Element *first) { SmilState().PartList = first; }
tMMS_Element *SmilGetPartList() { return SmilState().PartList; }

namespace {

// The part a reference names, taken; null when none does.
tMMS_Element *find_named(tMMS_Element *first, const char *ref) {
    const char *cid = after_cid(ref);
    for (tMMS_Element *p = first; p; p = p->next) {
        if (same(p->File_Name, ref)) return take(p, &tMMS_Element::File_Name, ref);
        if (same(p->Name_Param, ref)) return take(p, &tMMS_Element::Name_Param, ref);
        if (p->Content_Id) {
            if (same(p->Content_Id, ref)) return take(p, &tMMS_Element::Content_Id, ref);
            if (cid && same(p->Content_Id, cid)) return take(p, &tMMS_Element::Content_Id, cid);
        }
    }
    return nullptr;
}

// A reference is a URI: "%D1%84.png" names the part whose Content-Location
// (decoded when read) or name is "\xD1\x84.png". Null when none does;
// *noMemory when the decoded form could not be made.
tMMS_Element *find_uri_decoded(tMMS_Element *first, const char *ref, bool *noMemory) {
    char *decoded = fnQX_MEMSTRCOPY(ref);
    if (!decoded) {
        *noMemory = true;
        return nullptr;
    }
    UriDecodeInPlace(decoded);
    tMMS_Element *p = std::strcmp(decoded, ref) != 0 ? find_named(first, decoded) : nullptr;
    qx::free_ptr(decoded);
    return p;
}

// Part names made of MIME encoded words were decoded with the body; a
// reference written the same way names them by its decoded text.
tMMS_Element *find_words_decoded(tMMS_Element *first, const char *ref, bool *noMemory) {
    char *decoded = fnQX_MEMSTRCOPY(ref);
    if (!decoded) {
        *noMemory = true;
        return nullptr;
    }
    tMMS_Element *p = nullptr;
    const Got r = DecodeEncodedWords(&decoded);
    if (r == Got::Value && decoded[0] && std::strcmp(decoded, ref) != 0) p = find_named(first, decoded);
    qx::free_ptr(decoded);
    if (r == Got::NoMemory) *noMemory = true;
    return p;
}

}  // namespace

// A part that goes by the reference itself comes first; failing that, by its
// URI-decoded form, then by its encoded words decoded.
tMMS_Element *SmilFindPart(tMMS_Element *first, const char *ref) {
    if (!first || bad_ref(ref)) return nullptr;
    if (tMMS_Element *p = find_named(first, ref)) return p;
    bool noMemory = false;
    tMMS_Element *p = nullptr;
    if (std::strchr(ref, '%')) p = find_uri_decoded(first, ref, &noMemory);
    if (!p && !noMemory && std::strstr(ref, "=?")) p = find_words_decoded(first, ref, &noMemory);
    if (noMemory) {
        smil::no_memory();
        return nullptr;
    }
    return p ? p : SMIL_NO_MATCH;
}

int SmilLoadText(tSMIL_Text *rec, const char *ref) {
    if (!rec || bad_ref(ref)) return 0;
    tMMS_Element *part = SmilFindPart(SmilGetPartList(), ref);
    if (!part) return 0;
    if (part == SMIL_NO_MATCH || !part->Data) return 1;
    char *text;
    if (part->Data_Len <= 0) {
        text = fnQX_MEMSTRCOPY("");  // an empty text part is an empty text
    } else if (part->Has_Charset == 1) {
        int len = part->Data_Len;
        text = fnMMS_ConvertToUtf8(part->Charset, part->Data, &len);
    } else {
        text = static_cast<char *>(qx::alloc_uninit(part->Data_Len + 1));
        if (text) {
            std::memcpy(text, part->Data, static_cast<size_t>(part->Data_Len));
            text[part->Data_Len] = '\0';
        }
    }
    if (!text) {  // every branch above gives a text unless memory ran out
        smil::no_memory();
        return 0;
    }
    const int64_t size = static_cast<int64_t>(std::strlen(text)) + 1;
    int64_t &budget = SmilState().TextBudget;
    if (size > budget) {
        qx::free_ptr(text);
        return 0;
    }
    budget -= size;
    qx::free_ptr(rec->Text);
    rec->Text = text;
    return 1;
}
