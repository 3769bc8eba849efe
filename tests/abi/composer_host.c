/* A host of the composer that does not include the library's header: it
 * declares the host records (message, slides, items, attachments, PDU
 * buffer) and the functions itself, in the documented field order and types,
 * composes a message through librorodire.so, opens the composed send request
 * again (action 1), serves its body as a retrieved message to
 * fnCPS_ParserMMS, checks that both give back what was composed and
 * releases everything the way a host does. Exit code 0 means every check
 * passed. */
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    unsigned char *data;
    int length;
} PduBuf;

typedef struct {
    unsigned char *Data;
    char *Content_Type;
    char *Name;
    int Begin;
    int End;
    int Size;
    unsigned int Words[4];
} ImageItem; /* the video item has the same fields */

typedef struct {
    unsigned char *Data;
    char *Content_Type;
    char *Name;
    int Begin;
    int End;
    int Size;
} AudioItem;

typedef struct {
    char *Text;
    int Begin;
    int End;
    int Length;
    unsigned int Words[4];
} TextItem;

typedef struct Slide {
    ImageItem Image;
    AudioItem Audio;
    ImageItem Video;
    TextItem Text;
    int Has_Image;
    int Has_Audio;
    int Has_Video;
    int Has_Text;
    int Duration;
    int Unused;
    struct Slide *next;
} Slide;

typedef struct Attach {
    unsigned char *Data;
    char *Name;
    char *Content_Type;
    int Size;
    int Unused;
    struct Attach *next;
} Attach;

typedef struct {
    int Delivery_Report;
    int Read_Reply;
    int Sender_Visibility;
    char *Transaction_Id;
    char *From;
    char *To;
    char *Cc;
    char *Bcc;
    char *Subject;
    unsigned char *ContentTypeAndBody;
    unsigned char Message_Class;
    unsigned char Priority;
    int Date;
    unsigned char Expiry_Relative;
    int Expiry;
    unsigned char Delivery_Time_Relative;
    int Delivery_Time;
    int Body_Len;
} SendReq;

typedef struct {
    int Delivery_Report;
    int Read_Reply;
    unsigned char Message_Class;
    unsigned char Priority;
    unsigned char Retrieve_Status;
    int Date;
    int Content_Size;
    unsigned char *body;
    char *Transaction_Id;
    char *Message_Id;
    char *From;
    char *To;
    char *Cc;
    char *Subject;
} RetrieveConf;

typedef struct {
    int SlideCount;
    Slide *Slides;
    int AttachCount;
    Attach *Attachments;
    union {
        SendReq Send;
        struct {
            RetrieveConf Conf;
            int PduSize;
        } Retrieved;
    } Header;
    int PduSize;
} MmsData;

extern int fnCPS_ComposeMMS(MmsData *mmsDatabuf, PduBuf *pMMSPduBuf, int action);
extern int fnCPS_ParserMMS(MmsData *mmsDatabuf, PduBuf *mmsretrievebuf);
extern void *fnQX_Malloc(int size);
extern void fnQX_Free(void **ppMem);

static int failures = 0;

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "composer_host:%d: check failed: %s\n", __LINE__, #cond); \
            ++failures;                                                               \
        }                                                                             \
    } while (0)

static unsigned char jpeg[3000], amr[700], clip[5000], blob[1234];
static const unsigned char utf16[] = {0xFF, 0xFE, 'h', 0, 'i', 0, 0xFC, 0, 0x0A, 0};
static const char subject[] = "Gr\xC3\xBC\xC3\x9F" "e";

static void release(void *p) { fnQX_Free(&p); }

static void release_lists(MmsData *d) {
    Slide *s = d->Slides;
    while (s) {
        Slide *next = s->next;
        release(s->Image.Data), release(s->Image.Content_Type), release(s->Image.Name);
        release(s->Audio.Data), release(s->Audio.Content_Type), release(s->Audio.Name);
        release(s->Video.Data), release(s->Video.Content_Type), release(s->Video.Name);
        release(s->Text.Text);
        release(s);
        s = next;
    }
    Attach *a = d->Attachments;
    while (a) {
        Attach *next = a->next;
        release(a->Data), release(a->Name), release(a->Content_Type);
        release(a);
        a = next;
    }
}

static int same(const unsigned char *a, int alen, const unsigned char *b, int blen) {
    return a && alen == blen && memcmp(a, b, (size_t)blen) == 0 && a[alen] == 0;
}

/* The slides and attachments that were composed. */
static void check_lists(const MmsData *d) {
    CHECK(d->SlideCount == 2 && d->AttachCount == 2);
    const Slide *s = d->Slides;
    CHECK(s != NULL);
    if (!s) return;
    CHECK(s->Has_Image && s->Has_Audio && s->Has_Text && !s->Has_Video);
    CHECK(s->Duration == 7000);
    CHECK(same(s->Image.Data, s->Image.Size, jpeg, sizeof jpeg));
    CHECK(s->Image.Name && strcmp(s->Image.Name, "photo.jpg") == 0);
    CHECK(s->Image.Content_Type && strcmp(s->Image.Content_Type, "image/jpeg") == 0);
    CHECK(s->Image.Begin == 0 && s->Image.End == 6000);
    CHECK(same(s->Audio.Data, s->Audio.Size, amr, sizeof amr));
    CHECK(s->Audio.Name && strcmp(s->Audio.Name, "voice.amr") == 0);
    CHECK(s->Audio.Begin == 1000 && s->Audio.End == 7000); /* the end is cut to the slide */
    CHECK(s->Text.Text && strcmp(s->Text.Text, "Hallo Welt") == 0 && s->Text.Length == 10);
    CHECK(s->Text.Begin == 0 && s->Text.End == 5000);
    s = s->next;
    CHECK(s != NULL);
    if (!s) return;
    CHECK(s->Has_Video && s->Has_Text && !s->Has_Image && !s->Has_Audio);
    CHECK(s->Duration == 12000); /* a duration of 0 is not taken */
    CHECK(same(s->Video.Data, s->Video.Size, clip, sizeof clip));
    CHECK(s->Video.Name && strcmp(s->Video.Name, "clip.3gp") == 0);
    CHECK(s->Video.Content_Type && strcmp(s->Video.Content_Type, "video/3gpp") == 0);
    CHECK(s->Text.Text && strcmp(s->Text.Text, subject) == 0);
    CHECK(s->next == NULL);
    const Attach *a = d->Attachments;
    CHECK(a != NULL && a->next != NULL);
    if (!a || !a->next) return;
    CHECK(same(a->Data, a->Size, utf16, sizeof utf16));
    CHECK(a->Content_Type && strcmp(a->Content_Type, "text/plain") == 0);
    CHECK(a->Name && strcmp(a->Name, "note.txt") == 0);
    a = a->next;
    CHECK(same(a->Data, a->Size, blob, sizeof blob));
    CHECK(a->Name && strcmp(a->Name, "Bericht.pdf") == 0);
    CHECK(a->next == NULL);
}

static int round_trip(void) {
    Slide s[2];
    Attach a[2];
    memset(s, 0, sizeof s);
    memset(a, 0, sizeof a);
    s[0].Has_Image = s[0].Has_Audio = s[0].Has_Text = 1;
    s[0].Image = (ImageItem){jpeg, "image/jpeg", "photo.jpg", 0, 6000, sizeof jpeg, {1, 2, 3, 4}};
    s[0].Audio = (AudioItem){amr, "audio/amr", "voice.amr", 1000, 9000, sizeof amr};
    s[0].Text = (TextItem){"Hallo Welt", 0, 5000, 10, {0, 0, 0, 0}};
    s[0].Duration = 7000;
    s[0].next = &s[1];
    s[1].Has_Video = s[1].Has_Text = 1;
    s[1].Video = (ImageItem){clip, "video/3gpp", "clip.3gp", 0, 5000, sizeof clip, {0, 0, 0, 0}};
    s[1].Text = (TextItem){(char *)subject, 0, 5000, (int)strlen(subject), {0, 0, 0, 0}};
    a[0] = (Attach){(unsigned char *)utf16, "note.txt", "text/plain", sizeof utf16, 0, &a[1]};
    a[1] = (Attach){blob, "Bericht.pdf", "application/pdf", sizeof blob, 0, NULL};

    MmsData msg;
    memset(&msg, 0, sizeof msg);
    msg.Slides = s;
    msg.Attachments = a;
    msg.Header.Send.Transaction_Id = "T-1";
    msg.Header.Send.To = "+15551234";
    msg.Header.Send.Subject = (char *)subject;
    msg.Header.Send.Sender_Visibility = 1;
    msg.Header.Send.Priority = 1;
    PduBuf pdu = {NULL, 0};
    CHECK(fnCPS_ComposeMMS(&msg, &pdu, 0) == 0);
    CHECK(pdu.data != NULL && pdu.length > (int)(sizeof jpeg + sizeof clip));
    if (!pdu.data) return 0;
    CHECK(pdu.data[0] == 0x8C && pdu.data[1] == 0x80 && pdu.data[pdu.length] == 0);
    CHECK(msg.Header.Send.ContentTypeAndBody == NULL && msg.Header.Send.Body_Len > 0);

    /* Open the stored request again. */
    MmsData stored;
    memset(&stored, 0, sizeof stored);
    CHECK(fnCPS_ComposeMMS(&stored, &pdu, 1) == 0);
    check_lists(&stored);
    CHECK(stored.PduSize == pdu.length);
    CHECK(stored.Header.Send.Transaction_Id && strcmp(stored.Header.Send.Transaction_Id, "T-1") == 0);
    CHECK(stored.Header.Send.Subject && strcmp(stored.Header.Send.Subject, subject) == 0);
    CHECK(stored.Header.Send.Body_Len == msg.Header.Send.Body_Len);
    const SendReq *h = &stored.Header.Send;

    /* Its body as a retrieved message. */
    static const unsigned char head[] = {0x8C, 0x84, 0x98, 'T', 0, 0x8D, 0x92, 0x8B, 'M', '-', '7', 0};
    const int clen = (int)sizeof head + h->Body_Len;
    PduBuf conf = {(unsigned char *)malloc((size_t)clen), clen};
    memcpy(conf.data, head, sizeof head);
    memcpy(conf.data + sizeof head, h->ContentTypeAndBody, (size_t)h->Body_Len);
    MmsData got;
    memset(&got, 0, sizeof got);
    CHECK(fnCPS_ParserMMS(&got, &conf) == 0);
    check_lists(&got);
    CHECK(got.Header.Retrieved.PduSize == clen);
    CHECK(got.Header.Retrieved.Conf.Message_Id && strcmp(got.Header.Retrieved.Conf.Message_Id, "M-7") == 0);
    CHECK(got.Header.Retrieved.Conf.Content_Size == h->Body_Len);
    CHECK(got.Header.Retrieved.Conf.body && memcmp(got.Header.Retrieved.Conf.body, h->ContentTypeAndBody,
                                                   (size_t)h->Body_Len) == 0);
    free(conf.data);

    release_lists(&stored);
    release(stored.Header.Send.Transaction_Id), release(stored.Header.Send.From), release(stored.Header.Send.To);
    release(stored.Header.Send.Cc), release(stored.Header.Send.Bcc), release(stored.Header.Send.Subject);
    release(stored.Header.Send.ContentTypeAndBody);
    release_lists(&got);
    const RetrieveConf *r = &got.Header.Retrieved.Conf;
    release(r->body), release(r->Transaction_Id), release(r->Message_Id), release(r->From), release(r->To);
    release(r->Cc), release(r->Subject);
    release(pdu.data);

    /* Refusals. */
    CHECK(fnCPS_ComposeMMS(&msg, &pdu, 2) == -12);
    CHECK(fnCPS_ParserMMS(NULL, &pdu) == -12);
    return 1;
}

int main(void) {
    for (size_t i = 0; i < sizeof jpeg; ++i) jpeg[i] = (unsigned char)(i * 13 + 1);
    for (size_t i = 0; i < sizeof amr; ++i) amr[i] = (unsigned char)(i * 7);
    for (size_t i = 0; i < sizeof clip; ++i) clip[i] = (unsigned char)(i ^ (i >> 8));
    for (size_t i = 0; i < sizeof blob; ++i) blob[i] = (unsigned char)(255 - i);
    round_trip();
    /* Everything handed out is released: repeated runs do not grow the heap. */
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 20; ++i) round_trip();
    const size_t after = mallinfo2().uordblks;
    CHECK(after <= before);
    if (failures) fprintf(stderr, "composer_host: %d checks failed\n", failures);
    return failures ? 1 : 0;
}
