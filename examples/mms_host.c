/* A host program in C that does the whole job through librorodire, the way
 * an application on a terminal does: compose a three-slide message with an
 * attachment, send it through the WAP proxy to the MMS relay, take the
 * notification the relay pushed (here: the file it wrote into its spool
 * folder), download the message it announces, parse it into slides and
 * check every item against what was sent. The library's transactions run
 * on this program's own GLib main loop.
 *
 *   mms_host RELAY_URL PROXY_HOST:PORT SPOOL_DIR SAMPLES_DIR
 *
 * Build against the installed package:
 *   cc mms_host.c $(pkg-config --cflags --libs rorodire glib-2.0)
 * Exit status 0 when every item came back byte for byte. */
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "rorodire.h"

/* The result callback carries no user pointer: the host keeps its state. */
static GMainLoop *loop;
static int final_code = -1;

static void on_send(int code, int value) {
    if (code == HBX_MSG_SEND_PROGRESS) {
        fprintf(stderr, "\rsend     %3d%%", value);
        return;
    }
    fprintf(stderr, "\rsend     %3d%%\n", code == HBX_MSG_SEND_OK ? 100 : 0);
    final_code = code;
    g_main_loop_quit(loop);
}

static void on_download(int code, int value) {
    if (code == HBX_MSG_DL_PROGRESS) {
        fprintf(stderr, "\rdownload %3d%%", value);
        return;
    }
    fprintf(stderr, "\rdownload %3d%%\n", code == HBX_MSG_DL_OK ? 100 : 0);
    final_code = code;
    g_main_loop_quit(loop);
}

typedef struct {
    gchar *data;
    gsize size;
} Blob;

static int load(const char *dir, const char *name, Blob *b) {
    gchar *path = g_build_filename(dir, name, NULL);
    GError *err = NULL;
    int ok = g_file_get_contents(path, &b->data, &b->size, &err);
    if (!ok) {
        fprintf(stderr, "mms_host: %s\n", err->message);
        g_error_free(err);
    }
    g_free(path);
    return ok;
}

/* The first notification the relay wrote into its spool folder. */
static gchar *find_notification(const char *spool) {
    GDir *d = g_dir_open(spool, 0, NULL);
    if (!d) return NULL;
    gchar *found = NULL;
    const char *n;
    while (!found && (n = g_dir_read_name(d)))
        if (g_str_has_suffix(n, ".ind")) found = g_build_filename(spool, n, NULL);
    g_dir_close(d);
    return found;
}

static int same(const char *what, const void *got, int got_size, const Blob *want) {
    int ok = got && got_size == (int)want->size && memcmp(got, want->data, want->size) == 0;
    printf("    %-8s %6d bytes %s\n", what, got_size, ok ? "same as sent" : "DIFFERENT from what was sent");
    return ok;
}

static void release(void *p) { fnQX_Free(&p); }

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: mms_host RELAY_URL PROXY_HOST:PORT SPOOL_DIR SAMPLES_DIR\n");
        return 2;
    }
    gchar **proxy = g_strsplit(argv[2], ":", 2);
    if (!proxy[0] || !proxy[1]) {
        fprintf(stderr, "mms_host: the proxy is HOST:PORT\n");
        return 2;
    }
    MmsSettings settings = {"rorodire-mms-host/1.0", NULL, proxy[0], proxy[1], argv[1]};
    loop = g_main_loop_new(NULL, FALSE);

    /* ---- compose: three slides and one attachment */
    Blob photo, hello, speech, greeting, clip, card;
    if (!load(argv[4], "photo.jpg", &photo) || !load(argv[4], "hello.txt", &hello) ||
        !load(argv[4], "greeting.wav", &speech) || !load(argv[4], "greeting.txt", &greeting) ||
        !load(argv[4], "clip.mp4", &clip) || !load(argv[4], "contact.vcf", &card))
        return 1;
    tCPS_Slide s1 = {0}, s2 = {0}, s3 = {0};
    s1.Image = (tCPS_ImageItem){(unsigned char *)photo.data, "image/jpeg", "photo.jpg", 0, 5000, (int)photo.size, {0}};
    s1.Text = (tCPS_TextItem){hello.data, 0, 5000, (int)hello.size, {0}};
    s1.Has_Image = s1.Has_Text = 1;
    s1.Duration = 5000;
    s1.next = &s2;
    s2.Audio = (tCPS_AudioItem){(unsigned char *)speech.data, "audio/wav", "greeting.wav", 0, 4000, (int)speech.size};
    s2.Text = (tCPS_TextItem){greeting.data, 0, 4000, (int)greeting.size, {0}};
    s2.Has_Audio = s2.Has_Text = 1;
    s2.Duration = 4000;
    s2.next = &s3;
    s3.Video = (tCPS_VideoItem){(unsigned char *)clip.data, "video/mp4", "clip.mp4", 0, 3000, (int)clip.size, {0}};
    s3.Has_Video = 1;
    s3.Duration = 3000;
    tCPS_AttachNode att = {(unsigned char *)card.data, "contact.vcf", "text/x-vcard", (int)card.size, 0, NULL};

    tCPS_MmsData msg = {0};
    msg.pSlide_List = &s1;
    msg.pAttach_List = &att;
    /* The send request's header starts from the library's initial values. */
    tMMS_SendReq *defaults = (tMMS_SendReq *)fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ);
    if (!defaults) return 1;
    msg.Header.Send_Req = *defaults;
    release(defaults);
    /* Each send request has a Transaction-Id of its own: a relay answers a
     * repeated one (same sender and Transaction-Id) as the first time and
     * delivers nothing again. */
    char tid[48];
    g_snprintf(tid, sizeof tid, "host-%" G_GINT64_FORMAT, g_get_real_time());
    msg.Header.Send_Req.Transaction_Id = tid;
    msg.Header.Send_Req.From = "+15550100001/TYPE=PLMN";
    msg.Header.Send_Req.To = "+15550100002/TYPE=PLMN";
    msg.Header.Send_Req.Subject = "Hello from a C host";

    tCPS_PduBuf pdu = {0};
    int rc = fnCPS_ComposeMMS(&msg, &pdu, 0);
    if (rc != 0) {
        fprintf(stderr, "mms_host: compose failed with composer code %d\n", rc);
        return 1;
    }
    printf("composed m-send-req: %d bytes\n", pdu.length);

    /* ---- send through the proxy; the outcome comes through on_send */
    if (fnCPS_SendMMS(&pdu, &settings, on_send) != HBX_MSG_SEND_STARTED) {
        fprintf(stderr, "mms_host: the send did not start\n");
        return 1;
    }
    g_main_loop_run(loop);
    release(pdu.data);
    if (final_code != HBX_MSG_SEND_OK) {
        fprintf(stderr, "mms_host: send failed with code %d\n", final_code);
        return 1;
    }
    printf("sent: the relay confirmed\n");

    /* ---- the pushed notification */
    gchar *ind_path = find_notification(argv[3]);
    Blob ind;
    if (!ind_path || !g_file_get_contents(ind_path, &ind.data, &ind.size, NULL)) {
        fprintf(stderr, "mms_host: no notification in %s\n", argv[3]);
        return 1;
    }
    tCPS_PduBuf notification = {(unsigned char *)ind.data, (int)ind.size};
    tMMS_NotifyInd *n = fnCPS_ParseMMSNotification(&notification);
    if (!n) {
        fprintf(stderr, "mms_host: %s is not a notification\n", ind_path);
        return 1;
    }
    printf("notification: from %s, \"%s\", %d bytes at %s\n", n->From ? n->From : "?",
           n->Subject ? n->Subject : "", n->Message_Size, n->Content_Location ? n->Content_Location : "?");
    fnMMS_FreeMessageMem(n, MMS_STRUCT_MMS_NOTIFICATION_IND);

    /* ---- download; retrieve mode 3 answers with an m-notifyresp-ind */
    tCPS_PduBuf retrieved = {0};
    final_code = -1;
    if (fnCPS_DownloadMMS(&notification, 3, &settings, on_download, &retrieved) != HBX_MSG_DL_STARTED) {
        fprintf(stderr, "mms_host: the download did not start\n");
        return 1;
    }
    g_main_loop_run(loop);
    if (final_code != HBX_MSG_DL_OK) {
        fprintf(stderr, "mms_host: download failed with code %d\n", final_code);
        return 1;
    }
    printf("downloaded m-retrieve-conf: %d bytes\n", retrieved.length);

    /* ---- parse into slides and compare with what was sent */
    tCPS_MmsData got = {0};
    rc = fnCPS_ParserMMS(&got, &retrieved);
    if (rc != 0) {
        fprintf(stderr, "mms_host: parse failed with composer code %d\n", rc);
        return 1;
    }
    tMMS_RetrieveConf *h = &got.Header.Retrieve.Retrieve_Conf;
    printf("message from %s to %s: \"%s\"\n", h->From ? h->From : "?", h->To ? h->To : "?",
           h->Subject ? h->Subject : "");
    const Blob *want_image[] = {&photo, NULL, NULL}, *want_audio[] = {NULL, &speech, NULL},
               *want_video[] = {NULL, NULL, &clip}, *want_text[] = {&hello, &greeting, NULL};
    int ok = got.Slide_Num == 3 && got.Attach_Num == 1, k = 0;
    for (tCPS_Slide *s = got.pSlide_List; s; s = s->next, ++k) {
        printf("  slide %d: %d ms\n", k + 1, s->Duration);
        if (k >= 3) {
            ok = 0;
            continue;
        }
        ok &= !s->Has_Image == !want_image[k] && !s->Has_Audio == !want_audio[k] &&
              !s->Has_Video == !want_video[k] && !s->Has_Text == !want_text[k];
        if (s->Has_Image && want_image[k]) ok &= same(s->Image.Name, s->Image.Data, s->Image.Size, want_image[k]);
        if (s->Has_Audio && want_audio[k]) ok &= same(s->Audio.Name, s->Audio.Data, s->Audio.Size, want_audio[k]);
        if (s->Has_Video && want_video[k]) ok &= same(s->Video.Name, s->Video.Data, s->Video.Size, want_video[k]);
        if (s->Has_Text && want_text[k]) ok &= same("text", s->Text.Text, s->Text.Length, want_text[k]);
    }
    for (tCPS_AttachNode *a = got.pAttach_List; a; a = a->next) {
        printf("  attachment %s (%s)\n", a->Name ? a->Name : "?", a->Content_Type ? a->Content_Type : "?");
        ok &= same("data", a->Data, a->Size, &card);
    }

    /* ---- everything the library handed out is the host's to release */
    for (tCPS_Slide *s = got.pSlide_List; s;) {
        tCPS_Slide *next = s->next;
        release(s->Image.Data), release(s->Image.Content_Type), release(s->Image.Name);
        release(s->Audio.Data), release(s->Audio.Content_Type), release(s->Audio.Name);
        release(s->Video.Data), release(s->Video.Content_Type), release(s->Video.Name);
        release(s->Text.Text), release(s);
        s = next;
    }
    for (tCPS_AttachNode *a = got.pAttach_List; a;) {
        tCPS_AttachNode *next = a->next;
        release(a->Data), release(a->Name), release(a->Content_Type), release(a);
        a = next;
    }
    release(h->body), release(h->Transaction_Id), release(h->Message_Id), release(h->From), release(h->To);
    release(h->Cc), release(h->Subject), release(retrieved.data);
    g_free(photo.data), g_free(hello.data), g_free(speech.data), g_free(greeting.data);
    g_free(clip.data), g_free(card.data), g_free(ind.data), g_free(ind_path);
    g_strfreev(proxy);
    g_main_loop_unref(loop);

    printf("round trip %s\n", ok ? "exact" : "NOT exact");
    return ok ? 0 : 1;
}
