/* Whether the shared library writes its diagnostic log: run as
 * "log_host logs LIB" against a default build, "log_host silent LIB" against
 * one configured with -DRORODIRE_DIAGNOSTIC_LOG=OFF, and "log_host muted LIB"
 * against a default build with RORODIRE_LOG=0 in the environment (the log's
 * texts are in the library, but nothing may be written). It drives calls that
 * log (record allocations, a refused stored send request)
 * with stdout sent to a file, then checks what came out; in a log-free
 * build the library file must not even hold the log's texts. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "rorodire.h"

static long count_in_file(const char *path, const char *needle) {
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    const size_t n = strlen(needle);
    long hits = 0;
    size_t matched = 0;
    int c;
    while ((c = fgetc(f)) != EOF) {
        matched = (c == (unsigned char)needle[matched]) ? matched + 1 : (c == (unsigned char)needle[0] ? 1 : 0);
        if (matched == n) {
            ++hits;
            matched = 0;
        }
    }
    fclose(f);
    return hits;
}

int main(int argc, char **argv) {
    if (argc != 3 || (strcmp(argv[1], "logs") != 0 && strcmp(argv[1], "silent") != 0 &&
                      strcmp(argv[1], "muted") != 0)) {
        fprintf(stderr, "usage: log_host logs|silent|muted LIBRARY\n");
        return 2;
    }
    const int silent = strcmp(argv[1], "silent") == 0;
    const int muted = strcmp(argv[1], "muted") == 0;
    char out[] = "/tmp/rorodire-log-XXXXXX";
    const int fd = mkstemp(out);
    if (fd < 0) return 2;
    fflush(stdout);
    const int saved = dup(1);
    dup2(fd, 1);

    void *rec = fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ);
    fnMMS_FreeMessageMem(rec, MMS_STRUCT_SEND_REQ);
    const unsigned char date_field[] = {0x8C, 0x80, 0x98, 'T', 0x00, 0x85, 0x01, 0x01};
    tMMS_SendReq *req = fnMMS_ParseSendContent(date_field, (int)sizeof date_field);
    fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    const unsigned char retrieved[] = {0x8C, 0x84, 0x98, 't', 0x00, 0x84, 0x83, 'h', 'i'};
    tMMS_RetrieveConf *conf = fnMMS_ParseRetrieveConf(retrieved, (int)sizeof retrieved);
    fnMMS_FreeMessageMem(conf, MMS_STRUCT_RETRIEVE_CONF);

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    const long lines = count_in_file(out, "mzk:");
    unlink(out);
    const long texts = count_in_file(argv[2], "mzk:");
    printf("%ld log messages written, %ld log texts in %s\n", lines, texts, argv[2]);
    if (lines < 0 || texts < 0) return 2;
    if (silent) return (lines == 0 && texts == 0) ? 0 : 1;
    if (muted) return (lines == 0 && texts > 0) ? 0 : 1;
    return lines >= 3 ? 0 : 1;
}
