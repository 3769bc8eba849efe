// MMS transactions: the timer-driven send and download, the timer handle
// list they share, and the process state behind them (internal interface).
#ifndef HBXAPPGLIB_H
#define HBXAPPGLIB_H

#include <cstdint>

#include "osal.h"
#include "glib_qx_stack_porting.h"
#include "qx_stack_http.h"
#include "rorodire.h"

// ---------------------------------------------------------------- constants
constexpr int HBX_STEP_PERIOD_MS = 100;        // one step per 100 ms timer
constexpr int HBX_MAX_IDLE_STEPS = 3200;       // steps without progress before giving up
constexpr int HBX_SEND_CONF_BUF = 1500;        // confirmation buffer
constexpr int HBX_MAX_MESSAGE_SIZE = 307200;   // largest Content-Length a download accepts
constexpr int HBX_BODY_BUF_SLACK = 4000;       // headers beyond it a response without a length may bring
// Most bytes a download receives, whatever the notification announced.
constexpr int HBX_MAX_RECEIVED = HBX_MAX_MESSAGE_SIZE + HBX_BODY_BUF_SLACK;
// The highest download limit a host may set.
constexpr uint32_t HBX_MAX_MESSAGE_LIMIT = 100u * 1024u * 1024u;
constexpr int HBX_BODY_BUF_FIRST = 16384;      // the body buffer at first; it doubles as bytes arrive
constexpr int HBX_ACK_WORK_BUF = 1000;         // answer of the answer POST, discarded
constexpr int HBX_STACK_MODE_HTTP = 2;
// The overall deadline of a transaction, beside its idle limit: the time its
// bytes take on the slowest link it must still serve (200 bytes per second),
// plus a fixed allowance for the connect, the relay's own work and the
// answer. A send counts its PDU and a confirmation; a download twice the
// size its notification announces (the m-retrieve-conf adds its header),
// at least 16384 and at most the most a download receives. A 300 KB
// message gets about 27 minutes; the 2048-byte-per-100-ms pacing of a send
// needs 15 s of it.
constexpr int HBX_DEADLINE_BASE_MS = 60000;
constexpr int HBX_SLOWEST_LINK_BYTES_PER_S = 200;
constexpr int HBX_DL_DEADLINE_MIN_BYTES = 16384;
constexpr const char *HBX_MMS_CONTENT_TYPE = "application/vnd.wap.mms-message";

// Transaction states (httpSendState / httpRetrievalState).
enum : uint8_t {
    MMS_WAP_INIT = 0,
    MMS_WAP_BEGIN_OK = 3,
    MMS_WAP_PEEK_OK = 4,
    MMS_RECEIVE_TOOBIG = 8,
    MMS_WAP_ERROR = 9,
    MMS_WAP_RECEIVE_OK = 10,
    MMS_SEND_ACK = 12,
    MMS_SEND_OK = 13,
    MMS_SEND_ACK_AFTER = 15,
};

// Results of the transactions. The host hears the start codes and, once,
// the report codes of rorodire.h. Inside, every step of a transaction (its
// run, its ending, arming the next step) answers HBX_STEP_CONTINUE or
// HBX_STEP_FAILED; the HTTP stack's own results (qx_stack_step.h) are read
// where the stack is called. A failed allocation fails the step and is
// reported as the transaction's failure: the report codes have none for it.
constexpr int HBX_STEP_CONTINUE = 0;  // the transaction goes on (or ended well)
constexpr int HBX_STEP_FAILED = -1;   // the transaction failed

// ---------------------------------------------------------------- records
struct SendTimerPar {
    tCPS_PduBuf *pPduBuf;
    MmsSettings *pSettings;
    uint8_t httpSendState;
    tCPS_MMSResultCb pMMSSendResultCb;
};

struct NotifInfo {
    char *Content_Location;
    char *Transaction_Id;
    int32_t Message_Size;
};

struct DLMMSTimerPar {
    int32_t retrieveMode;
    uint8_t httpRetrievalState;
    bool storeRefused;  // the host's store refused the message: the relay is told Deferred
    NotifInfo *pNotifInfo;
    tCPS_PduBuf *pOut;
    MmsSettings *pSettings;
    tCPS_MMSResultCb pMMSDLResultCb;
};

// ---------------------------------------------------------------- process state
struct HbxHandleNode {
    OSAL_TIMER handle;
    HbxHandleNode *next;
};

struct HbxHandleList {
    HbxHandleNode *head;
    HbxHandleNode *tail;  // the last node, so a handle is appended in constant time
    int32_t nodeNums;
};

struct HbxSendGlobals {
    HttpCtx *sendMmsCtx;
    uint16_t mms_timeOut;
    uint16_t sendConfLen;
    uint32_t sentSize;
    uint8_t *pSendConfBuf;
    char *requestTid;  // Transaction-Id of the request: the confirmation must carry it
    int16_t lastPercent;  // the last progress percent reported (readiness drive), -1 none
};

struct HbxDownloadGlobals {
    HttpCtx *receiveCtx;
    uint8_t *p_mmsBody;
    uint32_t bodyCapacity;  // bytes of p_mmsBody
    uint32_t mmsBodyLen;    // bytes stored (the write position is p_mmsBody + mmsBodyLen)
    uint16_t mms_receive_time_out;
    uint32_t progressBytes;
    uint32_t ackBytes;
    uint8_t *pAnswerPdu;    // the m-notifyresp-ind / m-acknowledge-ind being posted
    int32_t answerLen;
    int16_t lastPercent;    // the last progress percent reported (readiness drive), -1 none
    // What the relay answered the latest download (kept after it ends, for
    // the host): its HTTP status (0 when none came) and the m-retrieve-conf's
    // Retrieve-Status (0 when none was read).
    int32_t lastHttpStatus;
    uint8_t lastRetrieveStatus;
};

enum class HbxActive : uint8_t { None, Send, Download };

// What drives the steps of a transaction.
// Timer: one step per step-period timer (100 ms), a step writes at most one
//   chunk of 2048 bytes and reads what has arrived; a progress report after
//   every step that moved bytes. The library's exports run this way.
// Readiness: a step runs when its socket is ready (a readiness wait through
//   osal, with the step period as its time-out so the idle limits keep their
//   meaning), writes as much as the socket takes and reads what has arrived;
//   the read pause while the reader is behind still holds; at most one
//   progress report per percent. For the hosts shipped with the library.
enum class HbxDrive : uint8_t { Timer, Readiness };

// Reads each retrieved message as soon as it is whole and stored in the
// output record (before the answer to the relay): the record's bytes stay
// the host's as with the final report.
using HbxRetrievedObserver = void (*)(const tCPS_PduBuf *out, void *user);
// The end of the answer exchange of a download: whether the relay took the
// answer (a 2xx status), called before the final report.
using HbxAnsweredObserver = void (*)(bool ok, int httpStatus, void *user);

// Reads each m-send-conf before the send transaction releases it: called once
// per send whose confirmation arrived whole (whatever its verdict), before
// the final report, with the library's bytes (valid only during the call).
using HbxSendConfObserver = void (*)(const uint8_t *conf, int len, void *user);

// Stores a retrieved message before the relay is answered: called once per
// download whose message arrived whole, with the bytes handed to the host
// (valid until the host releases its output record). False when the message
// could not be kept: the relay is then told Deferred (an m-acknowledge-ind,
// which has no such status, is not sent at all), so the message stays there,
// and the download ends as failed with HbxEndCause::StoreRefused (the
// output record still holds the message; the host releases it as always).
using HbxDownloadStore = bool (*)(const uint8_t *pdu, int len, void *user);

// Why the latest transaction ended as it did, for a host that names the
// cause of a failure. Kept until the next transaction starts.
enum class HbxEndCause : uint8_t {
    None,            // it succeeded, or failed before any exchange
    ReadFailed,      // the connection failed (connect, reset, HTTP stack's limits)
    IdleLimit,       // nothing moved for HBX_MAX_IDLE_STEPS steps
    Deadline,        // the overall deadline passed
    HttpStatus,      // the response's HTTP status is not 200 (httpStatus)
    NotMessage,      // the response is not the PDU the exchange wants (coded, another type, not matching)
    RetrieveStatus,  // the relay's m-retrieve-conf says the message is not there (detail: Retrieve-Status)
    Cut,             // the message is cut short
    StoreRefused,    // the host's store refused the retrieved message
};
struct HbxEnding {
    HbxEndCause cause;
    int32_t httpStatus;  // the latest response's HTTP status, 0 when none was read
    int32_t detail;
};

struct HbxKind;

// Everything the transactions keep between steps: one instance per process.
struct HbxState {
    HbxActive active;            // at most one transaction runs at a time
    int32_t deadlineMs;          // the running transaction's overall deadline
    void *running;               // the running transaction's record
    HbxSendGlobals send;
    HbxDownloadGlobals dl;
    HbxHandleList handleList;
    int stepPeriodMs;
    uint32_t stepCount;  // steps run by the latest transaction (kept after it ends)
    const HbxKind *kind;  // the running transaction's kind, null when none runs
    HbxSendConfObserver confObserver;  // the host's, null when none
    void *confObserverUser;
    HbxEnding ending;              // why the latest transaction ended
    HbxDownloadStore dlStore;      // the host's, null when none
    void *dlStoreUser;
    HbxDrive drive;
    HbxRetrievedObserver retrievedObserver;
    HbxAnsweredObserver answeredObserver;
    void *dlObserverUser;
    QXBearer bearer;  // the network the next transactions go out on (the host's setting)
    uint32_t maxMessageSize;  // the host's download limit; 0: HBX_MAX_MESSAGE_SIZE
};

HbxState &hbx_state();

// Sets the one observer of send confirmations (null removes it). The host
// that sets one removes it before it goes.
void hbx_SetSendConfObserver(HbxSendConfObserver observer, void *user);
// Sets the one store of retrieved messages (null removes it).
void hbx_SetDownloadStore(HbxDownloadStore store, void *user);
// Why the latest transaction ended.
const HbxEnding &hbx_LastEnding();
// Records the cause of the running transaction's ending (the first one
// named wins over later, more general ones).
void hbx_SetEndCause(HbxEndCause cause, int32_t detail = 0);

// Sets the drive of the transactions that start from now on (internal; the
// exports keep Timer unless the host sets it).
void hbx_SetDrive(HbxDrive drive);
HbxDrive hbx_Drive();
// The largest message a download accepts (its Content-Length, or its body
// when none is stated). 0 restores HBX_MAX_MESSAGE_SIZE, what the exported
// download keeps; a host of its own may take larger messages, up to
// HBX_MAX_MESSAGE_LIMIT. False (nothing changed) for a value outside that.
bool hbx_SetMaxMessageSize(uint32_t bytes);
uint32_t hbx_MaxMessageSize();
// Most bytes a download receives: the limit and room for what a response
// without a length may bring beyond it.
inline uint32_t hbx_MaxReceived() { return hbx_MaxMessageSize() + HBX_BODY_BUF_SLACK; }
// The download's observers (null removes them); both share `user`.
void hbx_SetDownloadObservers(HbxRetrievedObserver retrieved, HbxAnsweredObserver answered, void *user);

// Arms the next step of an exchange on `ctx` (null: an exchange between two
// requests) as the drive says: a step-period timer, or a readiness wait on
// its socket (writable while connecting and sending, readable while
// receiving) with the step period as time-out, a timer of 0 ms while the
// reader has body bytes waiting or reading pauses, and a short backing-off
// timer while a name is looked up. The handle is released by g_free_timer.
// 0, or the failing result of osal.
int hbx_ArmFor(const HttpCtx *ctx, OSAL_TIMER_CB cb, void *user, OSAL_TIMER *handle);
// Marks a context the transactions open as the drive wants it.
void hbx_Drives(HttpCtx *ctx);
// Whether a progress percent is reported: always on a timer drive, only a
// higher one than the last on a readiness drive (*last is updated).
bool hbx_ReportPercent(int percent, int16_t *last);

// Sets the bearer (interface, source address, DNS servers) the transactions
// started from now on go out on; null or all-empty: the system's routing and
// resolver, as without this call. A running transaction keeps the bearer it
// started with. False (nothing changed) when a text does not fit.
bool hbx_SetBearer(const QXBearer *bearer);

// ---------------------------------------------------------------- handle list
extern "C" {
int fnCPS_AddTimerHandle(OSAL_TIMER handle);
void fnCPS_FreeTimerHandles(void);
}
// Empties the list at the start of a transaction; its nodes are released,
// the timers they name are not.
void hbx_ResetTimerHandles();

// Arms the next 100 ms step and records its handle: HBX_STEP_CONTINUE when
// armed, else the failing result of g_settimer, or HBX_STEP_FAILED when the
// handle cannot be recorded (the timer is then cancelled at once).
int hbx_ArmStep(OSAL_TIMER_CB cb, void *record);

// Starts the HTTP stack for a transaction and applies the settings' User-Agent,
// Profile and proxy (its port into *port); false when the stack cannot start.
bool hbx_BeginStack(const MmsSettings *settings, int *port);
// Stores the configured User-Agent and Profile over the built-in headers.
void hbx_ApplyHeaders(const MmsSettings *settings);
// Whether the response's HTTP status is the one success MMS knows (200).
bool hbx_HttpOk(const HttpCtx *ctx);

// ---------------------------------------------------------------- one driver for both transactions
// The lines a transaction logs at the shared points, each kind in its own words.
enum class HbxSay : uint8_t {
    FirstStepFailed,     // the start's first step failed
    TimerServiceFailed,  // g_time_initialize refused
    TimerContinue,       // a timer runs the next step
    IdleLimit,           // too many steps without progress (value: the count)
    DeadlineReached,     // the overall deadline passed (value: its milliseconds)
    Finished,            // the stated length is in, the connection still open
    ReadFailed,          // the HTTP read failed
    ReadWait,            // nothing to read yet
};
// Which step armed the next timer (each kind logs it its own way).
enum class HbxArmAfter : uint8_t { Wait, Data, Stored };

// One kind of transaction (the send, the download) as the shared start,
// step driver, timer callback and ending see it.
struct HbxKind {
    HbxActive active;
    OSAL_TIMER_CB timerCb;
    int (*run)(void *rec);                         // one step (fnCPS_*_Run)
    void (*say)(HbxSay what, int value);
    void (*sayArmed)(HbxArmAfter after, int bResult);
    int (*armFailed)(void *rec, HbxArmAfter after);  // no next step could be armed: the ending
    int (*fail)(void *rec);                        // ends the transaction as failed
    int (*data)(void *rec, HttpCtx *ctx, int n);   // n response bytes were stored
    int (*complete)(void *rec, HttpCtx *ctx);      // the response is complete
    void (*releaseExchange)();                     // context, stack, buffers and counters
    void (*releaseRecord)(void *rec);
    uint8_t *(*state)(void *rec);
    tCPS_MMSResultCb (*callback)(const void *rec);
    OSAL_TIMER_CB deadlineCb;                      // the deadline timer's callback
    int (*deadlineMs)(const void *rec);            // the transaction's overall deadline
    int (*deadline)(void *rec);                    // the ending when the deadline passes
};

// Starts a transaction whose record is filled: its first step, the timer
// service, the first poll. False when it could not start (everything is
// released again, nothing is reported).
bool hbx_Start(const HbxKind &k, void *rec);
// Every ending: the exchange, the record and the timers are released and the
// transaction is over before the host hears of it (code, value), so a
// callback may start the next transaction at once. Gives the step result
// (HBX_STEP_CONTINUE for success codes, else HBX_STEP_FAILED) as `result`.
int hbx_End(const HbxKind &k, void *rec, uint8_t state, int code, int value, int result);
// Arms the next step and logs it; the ending of the kind when it cannot.
int hbx_Arm(const HbxKind &k, void *rec, HbxArmAfter after);
// One poll after the read: the idle limit, a body complete by its stated
// length, a failed read, waiting, data, the end of the response.
int hbx_Poll(const HbxKind &k, void *rec, HttpCtx *ctx, int n, uint16_t idle, uint32_t received);
// The timer callback's step: runs only the running transaction's steps.
void hbx_TimerStep(const HbxKind &k, void *rec);

// The deadline timer's step: ends the running transaction through its
// deadline ending (once: every ending releases the timer).
void hbx_DeadlineStep(const HbxKind &k, void *rec);
// Milliseconds the exchange of `bytes` gets (see HBX_DEADLINE_BASE_MS).
int hbx_DeadlineFor(int64_t bytes);

// Whether a send or a download is running.
bool hbx_Busy();

// Ends the running transaction now, as its own failure would: the exchange,
// the record and the timers are released and the host hears the failure
// code (21 / 1) once, from inside this call. For a host that gives a
// transaction an overall deadline. False when none runs.
bool hbx_Stop();

// ---------------------------------------------------------------- send
int fnCPS_SendMMS_Run(SendTimerPar *rec);
void fnCPS_SendMMS_TimerCb(void *rec);
void fnCPS_SendMMS_DeadlineCb(void *rec);

// ---------------------------------------------------------------- download
int fnCPS_DownloadMMS_Run(DLMMSTimerPar *rec);
void fnCPS_DownloadMMS_TimerCb(void *rec);
void fnCPS_DownloadMMS_DeadlineCb(void *rec);

// ---------------------------------------------------------------- tests and tools
// The step period (100 ms for hosts); tests and benchmarks on loopback use a
// shorter one so real-time runs stay short. Not exported.
void hbx_SetStepPeriod(int ms);

#endif
