// Process state of the presentation parser, in one record: the SMIL reader,
// the view, the decoded body and the part list the loaders search.
#ifndef MMSPS_PARSE_STATE_H
#define MMSPS_PARSE_STATE_H

#include "MMSPs_Parse.h"

struct tSMIL_ParserState {
    const char *Cursor;      // SMIL reader: next character
    int32_t Remain;          // SMIL reader: characters left
    tSMIL_ViewStruct View;
    mmresstruct *Body;       // decoded body held by the view, or null
    tMMS_Element *PartList;  // Body->Parts while a view is built
    // Bookkeeping of the view's attachment list (tail for appending, last
    // position read) so that long lists are built and read in linear time.
    tSMIL_Attachment *AttachTail;
    tSMIL_Attachment *AttachCursor;
    uint32_t AttachCursorIndex;
    // Tag text buffer of the interpreter, reused from tag to tag.
    char *TagBuf;
    int32_t TagBufSize;
    // Bytes the view's texts may still take: a text part shown on par after
    // par is copied for each of them, and a small message must not make the
    // view huge (the presentation then fails and the parts are listed as
    // attachments, each once).
    int64_t TextBudget;
    // An allocation failed while the view was built. Set where it failed;
    // the step then ends as it would for input it cannot use, and
    // fnPAR_ParseMMS reports PAR_NO_MEMORY instead of a smaller view.
    bool NoMemory;
};

// The bound of TextBudget for a body of `length` bytes.
constexpr int64_t SMIL_TEXT_BUDGET_FLOOR = 16 << 20;
constexpr int64_t SMIL_TEXT_BUDGET_FACTOR = 16;

// The next tag text in the interpreter's reused buffer (valid until the next
// call), or null at the end of the source or when the buffer cannot grow.
const char *SmilReadTagShared();
// Releases the reused buffer (at the end of a presentation).
void SmilReleaseTagBuffer();

tSMIL_ParserState &SmilState();

// Small helpers shared by the parser's files.
namespace smil {

// Records a failed allocation of the parser (see tSMIL_ParserState::NoMemory).
inline void no_memory() { SmilState().NoMemory = true; }
// The block an allocation gave, recording the failure when it gave none.
template <typename T>
T *checked(T *p) {
    if (!p) no_memory();
    return p;
}

inline bool is_blank(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// A part's name: the first non-empty text among its Name_Param (the Name
// parameter, else a filename), File_Name (its Content-Location) and
// Content_Id.
inline const char *part_name(const tMMS_Element *p) {
    if (p->Name_Param && p->Name_Param[0]) return p->Name_Param;
    if (p->File_Name && p->File_Name[0]) return p->File_Name;
    if (p->Content_Id && p->Content_Id[0]) return p->Content_Id;
    return nullptr;
}

// Saturating int32 addition.
inline int32_t sat_add(int32_t a, int32_t b) {
    const int64_t s = static_cast<int64_t>(a) + b;
    if (s > INT32_MAX) return INT32_MAX;
    if (s < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(s);
}

}  // namespace smil

#endif
