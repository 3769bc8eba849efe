/* A host program in C that uses librorodire only through its header, the way
 * an application on a terminal would: it builds records, checks their initial
 * values and uses the string primitives. Exit code 0 means all went well. */
#include <stdio.h>
#include <string.h>

#include "rorodire.h"

static int failures = 0;

#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            fprintf(stderr, "host_demo: check failed: %s\n", #cond);    \
            ++failures;                                                 \
        }                                                               \
    } while (0)

int main(void) {
    tMMS_SendReq *req = (tMMS_SendReq *)fnMMS_AllocMessageMem(MMS_STRUCT_SEND_REQ);
    CHECK(req != NULL);
    if (req) {
        CHECK(req->Sender_Visibility == 1 && req->Priority == 1);
        CHECK(req->Expiry_Relative == 1 && req->Delivery_Time_Relative == 1);
        req->Transaction_Id = fnQX_MEMSTRCOPY("T-0001");
        req->To = fnQX_MEMSTRCOPY("+15551234;+15554321");
        printf("send request: Transaction_Id=%s To=%s Priority=%d\n", req->Transaction_Id, req->To, req->Priority);
        fnMMS_FreeMessageMem(req, MMS_STRUCT_SEND_REQ);
    }

    tMMS_NotifyRespInd *resp = (tMMS_NotifyRespInd *)fnMMS_AllocMessageMem(MMS_STRUCT_NOTIFYRESP_IND);
    CHECK(resp && resp->Message_Type == 0x83 && resp->MMS_Version == 0x92);
    fnMMS_FreeMessageMem(resp, MMS_STRUCT_NOTIFYRESP_IND);

    CHECK(fnMMS_AllocMessageMem(12) == NULL);

    char buf[32];
    CHECK(fnQX_STRLCPY(buf, "Content-Type", sizeof buf) == 12);
    CHECK(fnQX_STRCMP(fnQX_STRLOWER(buf), "content-type") == 0);
    CHECK(fnQX_STRBEGINS("image", "image/jpeg") == 1);
    char *copy = fnQX_MEMSTRCOPY(NULL);
    CHECK(copy && copy[0] == 0);
    fnQX_Free((void **)&copy);
    CHECK(copy == NULL);

    printf("host_demo: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
