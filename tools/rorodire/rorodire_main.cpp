// rorodire: command-line front end of the MMS library.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "rorodire_tool.h"
#include "rr_stack.h"

namespace {

constexpr char kUsage[] =
    "usage: rorodire COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  dump [--json] [--verbose] FILE...\n"
    "      Decodes MMS PDUs (OMA MMS Encapsulation) and prints their header fields\n"
    "      and, for messages with a body, each part and whether there is a SMIL\n"
    "      presentation; Status and Read-Status values also in words (Retrieved,\n"
    "      Read, ...). --json prints one JSON object per file (keys file, type,\n"
    "      headers, meanings when a value has a name, parts, smil, and error for a\n"
    "      file that does not decode).\n"
    "      --verbose shows the library's diagnostic log on stderr.\n"
    "      The exit status is 1 when a file cannot be read or decoded.\n"
    "  example [--force] OUTDIR\n"
    "      Writes example PDUs made by the library's encoders: a send request with\n"
    "      SMIL, text, image and attachment, a forward request, a notification\n"
    "      response, an acknowledgement and a read report. Existing files of those\n"
    "      names are refused unless --force replaces them.\n"
    "  compose -o OUT [--to A] [--cc A] [--bcc A] [--from A] [--subject S]\n"
    "          [--delivery-report] [--read-reply] [--transaction-id T]\n"
    "          [--max-size BYTES] [--date DATE]\n"
    "          --slide 'image=a.jpg,text=hello.txt,audio=b.amr,video=c.3gp,dur=5000' ... [--attach FILE] ...\n"
    "      Composes an m-send-req from files: up to ten slides (each with at most an\n"
    "      image, an audio clip, a video clip - not beside an image or audio - and a\n"
    "      UTF-8 text file; optional begin=/end= in ms for its items) and up to ten\n"
    "      attachments. Content types come from the shared MIME database.\n"
    "      --max-size refuses a message above BYTES (without it one above 307200\n"
    "      bytes gets a warning); --date sets its Date (seconds since 1970 or\n"
    "      YYYY-MM-DDTHH:MM:SSZ, up to 2106-02-07T06:28:15Z; default now).\n"
    "  parse [--json] [--extract DIR] [--html DIR] [--force] FILE\n"
    "      Takes a retrieved message (m-retrieve-conf) or a stored send request apart:\n"
    "      header, slides (items with name, type, size, begin, end; the text), slide\n"
    "      durations and colours, attachments. --extract writes every media item,\n"
    "      slide text and attachment into DIR. --html writes DIR/index.html, a\n"
    "      self-contained preview (no scripts, no network) with the media beside it.\n"
    "      A file of the same name in DIR is refused unless --force replaces it.\n"
    "  relay [--listen ADDRESS] [--port N] [--spool DIR] [--log FILE] [--sender ADDR]\n"
    "        [--conf-status BYTE] [--fault FAULT]... [--idle SECONDS]\n"
    "      An MMS relay (MMSC) for development and tests on 127.0.0.1: takes send\n"
    "      requests, writes a notification per recipient into the spool folder,\n"
    "      serves the messages and records the answers; writes the delivery and\n"
    "      read reports a sender asked for into the spool; faults on request.\n"
    "  send --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL]\n"
    "       [--delivery-report] [--read-reply] [--json] [--verbose] PDU\n"
    "      Sends an m-send-req through the library's send transaction, asking for\n"
    "      delivery and read reports when told.\n"
    "  fetch --relay URL [--proxy HOST:PORT] [--user-agent S] [--profile URL] [--notifyresp | --ack]\n"
    "        [--json] [--verbose] NOTIFICATION -o OUT\n"
    "      Downloads the message an m-notification-ind announces, stores it in OUT\n"
    "      and only then answers the relay (Deferred when OUT cannot be written).\n"
    "  read-report --relay URL [--proxy HOST:PORT] [--status read|deleted] [--from ADDR]\n"
    "              [--json] [--verbose] MESSAGE\n"
    "      Sends a read report (m-read-rec-ind) for a retrieved message to its sender\n"
    "      through the relay.\n"
    "      `rorodire COMMAND --help` lists every option of the command.\n"
    "  Outputs are written through a temporary file beside them, fsync and rename,\n"
    "  never over or through a folder, symbolic link, device or FIFO. A failure\n"
    "  is one line on stderr naming its cause (HTTP status, Response-Status in\n"
    "  words, the system's reason). --verbose logs go to stderr.\n"
    "  help\n"
    "      Shows this text.\n";

}  // namespace

namespace {

int run_command(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const char *cmd = argv[1];
    if (!std::strcmp(cmd, "help") || !std::strcmp(cmd, "--help") || !std::strcmp(cmd, "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!std::strcmp(cmd, "dump")) return rrtool::cmd_dump(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "example")) return rrtool::cmd_example(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "compose")) return rrtool::cmd_compose(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "parse")) return rrtool::cmd_parse(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "relay")) return rrtool::cmd_relay(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "send")) return rrtool::cmd_send(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "fetch")) return rrtool::cmd_fetch(argc - 2, argv + 2);
    if (!std::strcmp(cmd, "read-report")) return rrtool::cmd_read_report(argc - 2, argv + 2);
    std::fprintf(stderr, "rorodire: unknown command '%s'\n\n%s", cmd, kUsage);
    return 2;
}

}  // namespace

// No exception leaves a command: what the commands do not catch themselves
// (out of memory, above all) ends in one line and a plain failure status.
int main(int argc, char **argv) {
    // Requests stay with the relay (or the location) they were made to: a
    // redirect elsewhere ends the transfer with its reason.
    fnQXStack_Http_SetRedirectPolicy(QXRedirectPolicy::SameAuthority);
    // send, fetch and read-report step their transfers by the socket's readiness.
    hbx_SetDrive(HbxDrive::Readiness);
    try {
        return run_command(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "rorodire %s: out of memory\n", argc > 1 ? argv[1] : "");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "rorodire %s: %s\n", argc > 1 ? argv[1] : "", e.what());
    } catch (...) {
        std::fprintf(stderr, "rorodire %s: unexpected failure\n", argc > 1 ? argv[1] : "");
    }
    return 1;
}
