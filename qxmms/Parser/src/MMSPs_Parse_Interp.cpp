// SMIL interpreter: walks the tags of a presentation and builds the view of
// pars (slides), regions, colours and media resolved to body parts.
#include <climits>
#include <cstring>

#include "MMSPs_Parse.h"
#include "MMSPs_Parse_State.h"
#include "qx_internal.h"
#include "qx_log.h"

tSMIL_ParserState &SmilState() {
    static tSMIL_ParserState state{};
    return state;
}

tSMIL_ViewStruct &SmilView() { return SmilState().View; }

namespace {

// One tag of the source with its element id; released on scope exit.
struct NextTag {
    tSMIL_Tag *tag = nullptr;
    int16_t id = SMIL_ELEM_NONE;

    NextTag() = default;
    NextTag(const NextTag &) = delete;
    NextTag &operator=(const NextTag &) = delete;
    ~NextTag() { SmilFreeTag(tag); }

    // Reads on to the next tag; false at the end of the source. Texts that
    // hold no tag are skipped.
    bool read() {
        SmilFreeTag(tag);
        tag = nullptr;
        for (;;) {
            const char *text = SmilReadTagShared();
            if (!text) return false;
            tag = SmilParseTag(text);
            if (tag) break;
        }
        id = SmilGetElementId(tag->Name);
        return true;
    }
};

bool attr_is(const tSMIL_Attr *a, const char *name) { return fnQX_STRICMP(a->Name, name) == 0; }

// Value of the attribute written first (the list runs backwards), or null.
const char *first_written(const tSMIL_Tag *tag, const char *name) {
    const char *v = nullptr;
    for (const tSMIL_Attr *a = tag->pAttr; a; a = a->pNext)
        if (attr_is(a, name)) v = a->Value;
    return v;
}

void free_regions(tSMIL_Region *r) {
    while (r) {
        tSMIL_Region *next = r->pNext;
        qx::free_ptr(r->Id);
        qx::free_ptr(r->Fit);
        qx::free_ptr(r);
        r = next;
    }
}

// An attribute's value into a field (releasing what was there). The value
// lives in the attribute's block, so the field gets a copy.
void take_value(char *&field, const tSMIL_Attr *a) {
    qx::free_ptr(field);
    field = smil::checked(fnQX_MEMSTRCOPY(a->Value));
}

// <param name="..." value="..."/>: colours of the current par.
void parse_param(const tSMIL_Tag *tag, bool foreground) {
    QX_LOG("entry param");
    if (!tag->pAttr) return;
    const char *name = first_written(tag, "name");
    const char *value = first_written(tag, "value");
    tSMIL_Par *par = SmilView().CurPar;
    if (!par || !value) return;
    if (!foreground && fnQX_STRCMP(name, "background-color") == 0) {
        QX_LOG("paramValue:%s", value);
        par->IsBgColor = 1;
        par->bgColor = SmilParseColor(value);
        QX_LOG("tSMIL_ViewStruct.CurPar->bgColor:%x", par->bgColor);
    } else if (foreground && fnQX_STRCMP(name, "foreground-color") == 0) {
        QX_LOG("paramValue:%s", value);
        par->IsForeColor = 1;
        par->foreColor = SmilParseColor(value);
        QX_LOG("tSMIL_ViewStruct.CurPar->foreColor:%x", par->foreColor);
    }
}

template <typename R>
void free_list(R *r, void (*release)(R *)) {
    while (r) {
        R *next = r->pNext;
        release(r);
        r = next;
    }
}

template <typename R>
int add_media(R *rec, R *tSMIL_Par::*list) {
    tSMIL_Par *par = SmilView().CurPar;
    if (!rec || !par) return 0;
    rec->pNext = par->*list;
    par->*list = rec;
    return 1;
}

template <typename R>
bool has_content(const R *rec) {
    if constexpr (requires { rec->Text; }) return rec->Text != nullptr;
    else return rec->Data != nullptr;
}

// Attributes of a media element: src is loaded, region, begin and end are
// read. False when the loader failed. Once a src has given the record its
// content, further src attributes of the element are passed over: loading
// them would leave the first part marked as shown without any record.
template <typename R>
bool read_media_attrs(const tSMIL_Tag *tag, R *rec, int (*load)(R *, const char *), bool hasRegion) {
    for (const tSMIL_Attr *a = tag->pAttr; a; a = a->pNext) {
        if (attr_is(a, "src")) {
            if (has_content(rec)) continue;
            if (!load(rec, a->Value)) return false;
        } else if (attr_is(a, "region")) {
            if constexpr (requires { rec->Region; }) {
                if (hasRegion) SmilGetRegion(&rec->Region, a->Value);
            }
        } else if (attr_is(a, "begin")) {
            rec->Begin = SmilParseTime(a->Value);
        } else if (attr_is(a, "end")) {
            rec->End = SmilParseTime(a->Value);
        }
    }
    return true;
}

// A media element inside a par; false when the par fails (its loader or
// its add failed).
template <typename R>
bool build_media(const tSMIL_Tag *tag, int (*load)(R *, const char *), int (*add)(R *), void (*release)(R *),
                      const char *addError) {
    R *rec = smil::checked(qx::alloc_rec<R>());
    if (!rec) return true;  // recorded as a shortage of memory
    if (!read_media_attrs(tag, rec, load, true)) {
        release(rec);
        return false;
    }
    // Protected media that may not be shown are dropped (their part is listed
    // as an attachment instead); so are media without content.
    if ((rec->IsDrm && rec->DrmType != SMIL_DRM_MESSAGE && rec->DrmType != SMIL_DRM_FORWARD) || !rec->Data) {
        release(rec);
        return true;
    }
    if (!add(rec)) {
        if (addError) QX_LOG("%s", addError);
        release(rec);
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- numbers and colours

int32_t SmilAtoi(const char *s) {
    if (!s) return 0;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = (*s++ == '-');
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (neg) return static_cast<int32_t>(-v);  // -(2^31) fits
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

int32_t SmilParseTime(const char *s) {
    if (!s) return 0;
    const int32_t n = SmilAtoi(s);
    if (std::strstr(s, "ms") || std::strstr(s, "MS")) return n;
    if (std::strchr(s, 's') || std::strchr(s, 'S')) {
        const int64_t ms = static_cast<int64_t>(n) * 1000;
        if (ms > INT32_MAX) return INT32_MAX;
        if (ms < INT32_MIN) return INT32_MIN;
        return static_cast<int32_t>(ms);
    }
    return n;
}

uint32_t SmilParseColor(const char *color) {
    static constexpr struct {
        const char *name;
        uint32_t value;
    } kNamed[] = {
        {"AQUA", 0xFF00FFFF},   {"GRAY", 0xFF808080},  {"NAVY", 0xFF000080},   {"SILVER", 0xFFC0C0C0},
        {"BLACK", 0xFF000000},  {"GREEN", 0xFF008000}, {"OLIVE", 0xFF808000},  {"TEAL", 0xFF008080},
        {"BLUE", 0xFF0000FF},   {"LIME", 0xFF00FF00},  {"PURPLE", 0xFF800080}, {"YELLOW", 0xFFFFFF00},
        {"FUCHSIA", 0xFFFF00FF}, {"MAROON", 0xFF800000}, {"RED", 0xFFFF0000},   {"WHITE", 0xFFFFFFFF},
    };
    if (!color) return 0xFFFFFFFF;
    if (color[0] == '#') {
        const char *digits = color + 1;
        const size_t len = std::strlen(digits);
        uint32_t sum = 0;
        uint32_t weight = 1;  // 16^i modulo 2^32
        for (size_t i = 0; i < len; ++i) {
            const unsigned char c = static_cast<unsigned char>(digits[len - i - 1]);
            uint32_t d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else d = c;
            QX_LOG("strColor[len-i-1]:%c", c);
            QX_LOG("chr:%d", static_cast<int>(d));
            sum += d * weight;
            weight *= 16u;
        }
        return sum;
    }
    for (const auto &n : kNamed)
        if (std::strcmp(n.name, color) == 0) return n.value;
    return 0xFFFFFFFF;
}

// ---------------------------------------------------------------- view

int SmilInitView() {
    tSMIL_ParserState &st = SmilState();
    st.View = tSMIL_ViewStruct{};
    st.AttachTail = nullptr;
    st.AttachCursor = nullptr;
    st.AttachCursorIndex = 0;
    st.TextBudget = SMIL_TEXT_BUDGET_FLOOR;
    return 1;
}

void SmilFreeText(tSMIL_Text *t) {
    if (!t) return;
    qx::free_ptr(t->Text);
    qx::free_ptr(t->Reserved);
    qx::free_ptr(t);
}

void SmilFreeMedia(tSMIL_Media *m) {
    if (!m) return;
    qx::free_ptr(m->Type);
    qx::free_ptr(m->Name);
    qx::free_ptr(m->Reserved);
    qx::free_ptr(m);
}

void SmilFreePar(tSMIL_Par *par) {
    if (!par) return;
    free_list(par->pText, SmilFreeText);
    free_list(par->pImg, SmilFreeImg);
    free_list(par->pAud, SmilFreeAud);
    free_list(par->pVideo, SmilFreeVideo);
    qx::free_ptr(par);
}

void SmilFreeView() {
    tSMIL_ViewStruct &v = SmilView();
    QX_LOG("before  while(pReg != NULL)");
    free_regions(v.pRegion);
    v.pRegion = nullptr;
    for (tSMIL_Par *p = v.pParHead; p;) {
        tSMIL_Par *next = p->pNext;
        SmilFreePar(p);
        p = next;
    }
    v.pParHead = nullptr;
    v.CurPar = nullptr;
    QX_LOG("begin while(pAttachment != NULL)");
    for (tSMIL_Attachment *a = v.pAttachment; a;) {
        tSMIL_Attachment *next = a->pNext;
        if (a->Alt) {
            QX_LOG("MMS_FREE(pAttachment->Alt)");
            qx::free_ptr(a->Alt);
        }
        if (a->Type) {
            QX_LOG("MMS_FREE(pAttachment->Type)");
            qx::free_ptr(a->Type);
        }
        if (a->Name) {
            QX_LOG("MMS_FREE(pAttachment->Name)");
            qx::free_ptr(a->Name);
        }
        QX_LOG("begin MMS_FREE(pAttachment)");
        qx::free_ptr(a);
        QX_LOG("after MMS_FREE(pAttachment)");
        a = next;
    }
    v.pAttachment = nullptr;
    SmilState().AttachTail = nullptr;
    SmilState().AttachCursor = nullptr;
    SmilState().AttachCursorIndex = 0;
}

int SmilAddPar(tSMIL_Par *par) {
    if (!par) return 0;
    tSMIL_ViewStruct &v = SmilView();
    par->pNext = nullptr;
    if (!v.pParHead) {
        par->pPrev = nullptr;
        v.pParHead = par;
    } else {
        // The current par is in the list and, while parsing, the last one.
        tSMIL_Par *last = v.CurPar ? v.CurPar : v.pParHead;
        while (last->pNext) last = last->pNext;
        last->pNext = par;
        par->pPrev = last;
    }
    v.CurPar = par;
    return 1;
}

int SmilDelCurPar() {
    tSMIL_ViewStruct &v = SmilView();
    tSMIL_Par *cur = v.CurPar;
    if (!cur) return 1;
    if (cur == v.pParHead) {
        v.pParHead = cur->pNext;
        if (v.pParHead) v.pParHead->pPrev = nullptr;
        v.CurPar = v.pParHead;
    } else {
        if (cur->pPrev) cur->pPrev->pNext = cur->pNext;
        if (cur->pNext) cur->pNext->pPrev = cur->pPrev;
        v.CurPar = cur->pPrev;
    }
    SmilFreePar(cur);
    return 1;
}

int SmilAddText(tSMIL_Text *t) { return add_media(t, &tSMIL_Par::pText); }
int SmilAddImg(tSMIL_Img *m) { return add_media(m, &tSMIL_Par::pImg); }
int SmilAddAud(tSMIL_Aud *m) { return add_media(m, &tSMIL_Par::pAud); }
int SmilAddVideo(tSMIL_Video *m) { return add_media(m, &tSMIL_Par::pVideo); }

int SmilGetRegion(tSMIL_Rect *rect, const char *id) {
    if (!rect || !id || !id[0]) return 0;
    *rect = tSMIL_Rect{};
    for (const tSMIL_Region *r = SmilView().pRegion; r; r = r->pNext) {
        if (r->Id && std::strcmp(r->Id, id) == 0) {
            *rect = tSMIL_Rect{r->Left, r->Top, r->Width, r->Height};
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- parsing levels

int SmilParseText() {
    NextTag t;
    while (t.read()) {
        if (t.id == SMIL_ELEM_TEXT) return 1;
        if (t.id == SMIL_ELEM_PARAM) parse_param(t.tag, true);
    }
    return 0;
}

int SmilParsePar() {
    NextTag t;
    while (t.read()) {
        const tSMIL_Tag *tag = t.tag;
        switch (t.id) {
        case SMIL_ELEM_PAR:
            if (tag->Type == SMIL_TAG_CLOSE) return SMIL_PAR_ENDED;
            if (tag->Type == SMIL_TAG_OPEN) return SMIL_PAR_NESTED;
            break;
        case SMIL_ELEM_TEXT: {
            if (!tag->pAttr) break;
            tSMIL_Text *rec = smil::checked(qx::alloc_rec<tSMIL_Text>());
            if (!rec) break;
            if (!read_media_attrs(tag, rec, SmilLoadText, true)) {
                SmilFreeText(rec);
                return SMIL_PAR_FAILED;
            }
            if (!rec->Text) {
                SmilFreeText(rec);
            } else if (!SmilAddText(rec)) {
                SmilFreeText(rec);
                return SMIL_PAR_FAILED;
            }
            if (tag->Type == SMIL_TAG_OPEN && !SmilParseText()) {
                QX_LOG("SmilParseText error");
                return SMIL_PAR_FAILED;
            }
            break;
        }
        case SMIL_ELEM_IMG:
            if (tag->pAttr &&
                !build_media<tSMIL_Img>(tag, SmilLoadImg, SmilAddImg, SmilFreeImg, "SmilAddImg error"))
                return SMIL_PAR_FAILED;
            break;
        case SMIL_ELEM_AUDIO:
            if (tag->pAttr && !build_media<tSMIL_Aud>(tag, SmilLoadAud, SmilAddAud, SmilFreeAud, nullptr))
                return SMIL_PAR_FAILED;
            break;
        case SMIL_ELEM_VIDEO:
            if (tag->pAttr &&
                !build_media<tSMIL_Video>(tag, SmilLoadVideo, SmilAddVideo, SmilFreeVideo, nullptr))
                return SMIL_PAR_FAILED;
            break;
        case SMIL_ELEM_PARAM:
            parse_param(tag, false);
            break;
        default:
            break;
        }
    }
    return SMIL_PAR_FAILED;
}

int SmilParseBody() {
    NextTag t;
    while (t.read()) {
        if (t.id == SMIL_ELEM_BODY) return 1;
        if (t.id != SMIL_ELEM_PAR || t.tag->Type != SMIL_TAG_OPEN) continue;
        int32_t dur = 0;
        for (const tSMIL_Attr *a = t.tag->pAttr; a; a = a->pNext)
            if (attr_is(a, "dur")) dur = SmilParseTime(a->Value);
        for (;;) {
            tSMIL_Par *par = smil::checked(qx::alloc_rec<tSMIL_Par>());
            if (!par) return 0;
            par->Dur = dur;
            SmilAddPar(par);
            const int r = SmilParsePar();
            if (r == SMIL_PAR_FAILED) {
                QX_LOG("SmilParsePar error");
                return 0;
            }
            if (r == SMIL_PAR_NESTED) continue;  // the opening tag starts a further par
            tSMIL_Par *cur = SmilView().CurPar;
            if (cur && !cur->pText && !cur->pImg && !cur->pAud && !cur->pVideo) SmilDelCurPar();
            break;
        }
    }
    return 0;
}

tSMIL_Layout *SmilParseLayout() {
    tSMIL_Layout *layout = smil::checked(qx::alloc_rec<tSMIL_Layout>());
    if (!layout) return nullptr;
    NextTag t;
    while (t.read()) {
        tSMIL_Tag *tag = t.tag;
        if (t.id == SMIL_ELEM_LAYOUT) {
            if (tag->Type == SMIL_TAG_CLOSE) return layout;
        } else if (t.id == SMIL_ELEM_REGION) {
            tSMIL_Region *r = smil::checked(qx::alloc_rec<tSMIL_Region>());
            if (!r) continue;
            for (tSMIL_Attr *a = tag->pAttr; a; a = a->pNext) {
                if (attr_is(a, "id")) take_value(r->Id, a);
                else if (attr_is(a, "left")) r->Left = SmilAtoi(a->Value);
                else if (attr_is(a, "top")) r->Top = SmilAtoi(a->Value);
                else if (attr_is(a, "width")) r->Width = SmilAtoi(a->Value);
                else if (attr_is(a, "height")) r->Height = SmilAtoi(a->Value);
                else if (attr_is(a, "fit")) take_value(r->Fit, a);
            }
            r->pNext = layout->pRegion;
            layout->pRegion = r;
        } else if (t.id == SMIL_ELEM_ROOT_LAYOUT) {
            tSMIL_ViewStruct &v = SmilView();
            for (const tSMIL_Attr *a = tag->pAttr; a; a = a->pNext) {
                if (attr_is(a, "width")) {
                    layout->RootWidth = SmilAtoi(a->Value);
                } else if (attr_is(a, "height")) {
                    layout->RootHeight = SmilAtoi(a->Value);
                } else if (attr_is(a, "background-color") || attr_is(a, "backgroundcolor")) {
                    QX_LOG("pAttr->Value:%s", a->Value);
                    v.IsBgColor = 1;
                    v.bgColor = SmilParseColor(a->Value);
                    QX_LOG("tSMIL_ViewStruct.bgColor:%x", v.bgColor);
                }
            }
        }
    }
    return layout;
}

int SmilParseHead() {
    int result = 0;
    NextTag t;
    while (t.read()) {
        switch (t.id) {
        case SMIL_ELEM_HEAD:
            return 1;
        case SMIL_ELEM_BODY:
            result = SmilParseBody();
            break;
        case SMIL_ELEM_LAYOUT:
            if (tSMIL_Layout *layout = SmilParseLayout()) {
                tSMIL_ViewStruct &v = SmilView();
                v.RootWidth = layout->RootWidth;
                v.RootHeight = layout->RootHeight;
                free_regions(v.pRegion);  // a second layout replaces the first
                v.pRegion = layout->pRegion;
                qx::free_ptr(layout);
                result = 1;
            }
            break;
        default:
            break;
        }
    }
    return result;
}

static int parse_smil();

int SmilParseSmil() {
    const int r = parse_smil();
    SmilReleaseTagBuffer();
    return r;
}

static int parse_smil() {
    QX_LOG("entry SmilParseSmil");
    bool smilSeen = false;
    int bodyResult = 0;
    NextTag t;
    while (t.read()) {
        switch (t.id) {
        case SMIL_ELEM_SMIL:
            if (smilSeen) return 1;
            smilSeen = true;
            break;
        case SMIL_ELEM_HEAD:
            SmilParseHead();
            break;
        case SMIL_ELEM_BODY:
            bodyResult = SmilParseBody();
            if (bodyResult == 0) return 0;
            break;
        default:
            break;
        }
    }
    return bodyResult == 1 ? 1 : 0;
}
