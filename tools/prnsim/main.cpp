// prnsim: watch the real prnsbp driver handle a printer, without Windows or
// hardware.
#include "commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char kUsageStart[] = R"(usage: prnsim COMMAND [ARGUMENTS]

Runs the real prnsbp driver on a simulated Windows kernel, with simulated
IEEE 1394 printers on a simulated SBP-2 port driver, and prnmodel building
the print jobs.

commands:
  demo [-s SETTING=VALUE]... [--svg FILE] [--lenient]
                        load the driver, plug a printer in, print a job built
                        by prnmodel, read the status, unplug, unload; then a
                        summary, the decoded commands, a leak check and a
                        last line that says whether it passed or what
                        failed; -s changes a setting of the A4 plain-paper
                        job, by number or name (-s PaperSize=PhotoL, as xdbq
                        takes them), and the job is checked as xdbq checks a
                        request before anything runs (a setting the model
                        does not offer with the others, a job setup without
                        a command the printer needs: exit code 4; --lenient
                        runs it anyway); --svg draws the page the printer was
                        told about (paper, printable area, margins, raster)
                        into FILE and names the sheet it needs at 100 %
  print FILE [OPTIONS]  write FILE through the printer's port
      --write-size N      bytes per write request (default 4096)
      --use-scsi-print N  USE_SCSI_PRINT of the service key (default 0)
      --mdl-size N        MDL_SIZE of the service key (default 0: 32768)
      --legacy            Windows 98/Me instead of Windows 2000 and later
      --async             the port driver completes requests from its thread
      --mixed[=SEED]      the port driver completes each request at once or
                          from its thread, as a generator seeded with SEED
                          (default 0x5EED, never 0) decides: reproducible
      --decode            show the decoded commands the printer received
      --svg OUT           draw the page the printer was told about into OUT
      --lenient           print a job setup that lacks a command the printer
                          needs anyway (without it: said, exit code 4)
                        Files of 1 MiB and more run on a retail kernel
                        (verifier off); the first line says which.
  run SCRIPT|- [--registry FILE] [--async] [--mixed[=SEED]] [--lower-filter] [--fold]
                        run a scenario, one command per line ('-': standard
                        input); --registry loads the registry from FILE first
                        (when it exists) and saves it there at the end, as
                        text: [KEY] lines, values "NAME" = dword:N,
                        sz:"TEXT", sz-exact:"TEXT" or hex(TYPE):BYTES;
                        --async: every printer completes requests from the
                        port driver's thread; --mixed: every printer
                        completes each request either way (as for print);
                        --lower-filter: every printer gets a pass-through
                        lower filter below the driver; --fold: a run of
                        trace lines alike but for their time (and a data
                        write's sequence byte) is its first line and
                        "... N more like it, the last [time]"
      --schedule S        run under the schedule S that explore printed
                          (its threads one at a time, as explore ran them)
  explore SCRIPT [--bound K] [--max-schedules N] [--async] [--mixed[=SEED]]
          [--lower-filter] [--pct [--runs N] [--depth D]]
                        run SCRIPT once for every interleaving of its
                        started requests (and of the port driver's
                        completions) with at most K decisions off the
                        default schedule (default 2): the threads run one at
                        a time and hand over at the kernel's schedule points
                        (fast mutexes, events, waits, Interlocked, calls,
                        completions, deletes, frees). Stops at the first run
                        that fails (a verifier report, a leak, a deadlock, a
                        run whose exit code is not 0) and prints its
                        schedule, e.g. "w@12>s" (at thread w's 12th point
                        switch to s), what went wrong, its output and the
                        'run --schedule' line that replays it; exit code 1.
                        --pct: N random schedules (default 1000) with D
                        priority changes (default 2) instead, for three
                        threads or more
  help, --help          this text

Exit codes: 0 success; 1 the run found a problem (data lost, a leak, a
verifier report); 2 bad command line or script, or a picture (--svg) that
cannot be written; 3 a hang: the script ended, or waited ('wait'), with a
started request still blocked (each is named with where it waits, then
everything held is let go and the end-of-run check follows); 4 a job the
model cannot build (demo, print). Data without a page format command has no
page to draw: said, and no file written.

SCRIPT LANGUAGE (one command per line, '#' starts a comment, "quoted words"
may hold blanks and \n \r \t \xNN escapes). DEV is a device: NAME.0 and
NAME.1 are the FDOs of a printer's units, NAME.child its child PDO.
Numbers are decimal or 0x-hex.

)";

const char kUsageEnd[] = R"(
OUTPUT OF run: each command is echoed ("> write p.0 4096"); every request
that reaches the simulated bus follows on its own line:
  [   time ms] PRINTER/UNIT CREATE|CLOSE -> NTSTATUS
  [   time ms] PRINTER/UNIT SCSI <8 CDB bytes> in|out LENGTH -> SRB status, bytes (command)
with, when the printer returns sense data (SRB status "+AUTOSENSE"),
", sense N: 70 00 .." (N the SRB's SenseInfoBufferLength, then the bytes
returned: byte 8 non-zero for a refusal, bytes 10-12 what was taken), e.g.
  ... SCSI C1 20 00 10 00 00 00 00 in 4096 -> ERROR+AUTOSENSE 0 (status read),
      sense 18: 70 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00
then the command's result: "= STATUS_NAME, information N" (and the data
read). "= held in the printer: p/0 SCSI ..." when a request is kept by
"printer NAME hold"; a command that would block must be started, and
"= w: blocked, ..." says where it waits (held in the printer with its CDB,
or in the driver on which fast mutex or event). At the end handles left
open are closed, the printers unplugged, the driver unloaded, the
script's SCSI requests counted by opcode (as print counts them) and
anything left allocated is reported.
)";

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "prnsim: missing command (try prnsim --help)\n");
        return 2;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "help" || command == "--help" || command == "-h") {
        fputs(kUsageStart, stdout);
        fputs(prnsim::ScriptLanguageHelp().c_str(), stdout);
        fputs(kUsageEnd, stdout);
        return 0;
    }
    if (command == "demo")
        return prnsim::RunDemo(args);
    if (command == "print")
        return prnsim::RunPrint(args);
    if (command == "run")
        return prnsim::RunScriptCommand(args);
    if (command == "explore")
        return prnsim::ExploreScriptCommand(args);
    fprintf(stderr, "prnsim: unknown command '%s' (try prnsim --help)\n", command.c_str());
    return 2;
}
