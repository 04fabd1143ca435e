// prnsim: watch the real prnsbp driver handle a printer, without Windows or
// hardware.
#include "commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const char kUsage[] = R"(usage: prnsim COMMAND [ARGUMENTS]

Runs the real prnsbp driver on a simulated Windows kernel, with simulated
IEEE 1394 printers on a simulated SBP-2 port driver, and prnmodel building
the print jobs.

commands:
  demo [--svg FILE]     load the driver, plug a printer in, print a job built
                        by prnmodel, read the status, unplug, unload; then a
                        summary, the decoded commands and a leak check;
                        --svg draws the page the printer was told about
                        (paper, printable area, margins, raster) into FILE
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
                        Files of 1 MiB and more run on a retail kernel
                        (verifier off); the first line says which.
  run SCRIPT|- [--registry FILE] [--async] [--mixed[=SEED]] [--lower-filter]
                        run a scenario, one command per line ('-': standard
                        input); --registry loads the registry from FILE first
                        (when it exists) and saves it there at the end;
                        --async: every printer completes requests from the
                        port driver's thread; --mixed: every printer
                        completes each request either way (as for print);
                        --lower-filter: every printer gets a pass-through
                        lower filter below the driver
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
verifier report); 2 bad command line or script.

SCRIPT LANGUAGE (one command per line, '#' starts a comment, "quoted words"
may hold blanks and \n \r \t \xNN escapes). DEV is a device: NAME.0 and
NAME.1 are the FDOs of a printer's units, NAME.child its child PDO.
Numbers are decimal or 0x-hex.

  platform legacy|current       Windows 98/Me, or Windows 2000 and later
  config NAME VALUE             REG_DWORD under the service key (TIME_OUT,
                                USE_SCSI_PRINT, MDL_SIZE)
  load | unload                 DriverEntry | DriverUnload
  restart                       unplug all, unload, keep only the registry,
                                boot again (same platform) and load
  plug NAME [OPTIONS]           a printer appears; the PnP manager adds and
                                starts the driver on each unit
      key=TEXT                    printer key (after the last '&' of the names)
      id="MFG:..;MDL:..;"         IEEE 1284 device ID
      bus=1394|scsi               the adapter's bus type
      vendor=TEXT product=TEXT    storage descriptor strings
      name0=TEXT name1=TEXT       whole PDO names (malformed ones too)
      units=01|0|1                which units appear
      claim=STATUS idstatus=STATUS storage=STATUS   refusals of the port driver
      async                       complete from the port driver's thread
      filter                      a pass-through lower filter between the
                                  unit PDOs and the driver (as an INF's
                                  LowerFilters value loads one)
      nostart0 nostart1           AddDevice only for that unit; start it
                                  later with "start-device p.1"
      unit1-first                 the PnP manager takes unit 1 first
  unplug NAME                   the cable is pulled (surprise removal, removal)
  pnp DEV MINOR [ARG]           one PnP request: start stop query-stop
                                cancel-stop query-remove cancel-remove
                                surprise-removal remove query-capabilities
                                usage (ARG paging|hibernation|dumpfile|
                                undefined [out: not in the path])
                                query-id (ARG device|hardware|compatible|
                                instance|serial|N) query-relations (ARG
                                ejection|power|removal|target|N) query-text
                                (ARG description|location), or any minor by
                                number: "pnp p.0 0x18"
  power DEV MINOR [D0..D3|S0..S5]
                                set-power query-power wait-wake power-sequence,
                                for a device power state or a system one, or
                                any minor by number
  detail on|off                 every SRB's other fields on a line under it
                                (function, SrbFlags, queue tag and action,
                                time-out, CDB length, sense length, CDB bytes
                                8-15); the claims, storage queries and
                                device-ID requests the port driver answered
                                ("p/0 CLAIM ...", "p/0 STORAGE QUERY ...",
                                "p/1 SBP2 REQUEST ..."); every request the
                                driver passed down (PnP, power, WMI, SRBs,
                                control codes it does not handle) once it
                                has come back: the device it went to and
                                its status ("p/0 PASSED device control
                                0x00220000 -> STATUS_INVALID_DEVICE_REQUEST,
                                to \Device\Sbp2\..."; a filter of "plug
                                ... filter" is named, one of --lower-filter
                                is not)
  interleave on|off             bus lines of all printers by time instead of
                                printer by printer
  allocfail N | allocfail off   the driver's Nth allocation from now fails
                                (pool, IRP, MDL, device object), e.g.
                                "allocfail 1" before "open p.0"
  rebalance DEV | remove-device DEV | surprise DEV | enumerate DEV
                                what the PnP manager does (query and stop and
                                start; query-remove and removal; surprise
                                removal and removal; bus relations)
  start-device DEV              IRP_MN_START_DEVICE as the PnP manager sends it
  surprise-only DEV | finish-removal DEV
                                the two halves of a surprise removal, with
                                the handles closed in between
  ids NAME                      ask the child for its IDs and show them
  show NAME                     devices, port and child of a printer
  open DEV | close DEV
  write DEV N | write DEV hex=1B40 | write DEV text="..."
  read DEV N
  ioctl DEV CODE [in=HEX] [out=N] [nobuffer]
                                CODE by name (IOCTL_PRNSBP_FLUSH...) or number;
                                nobuffer: no system buffer at all; where a
                                code the driver passes down went: "detail on"
  internal DEV CDB [in=N|out=HEX] [flags=N timeout=S tag=N action=N sense=N]
                                an SRB through IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                e.g. "internal p.child C200000008000000 in=8"
  wmi DEV [MINOR]               IRP_MJ_SYSTEM_CONTROL (MINOR number, default 0)
  printer NAME refuse on|off    refuse print data (until off)
  printer NAME deliver N [COUNT] [op=XX sub=XX]
                                take (or, for a reply, send) only N bytes of
                                the next COUNT print data transfers (or of
                                the command with that CDB byte 0 and 1)
  printer NAME fail SRBSTATUS [COUNT] [op=XX sub=XX]
                                fail the next COUNT SCSI requests (of that
                                CDB byte 0 and 1); COUNT 0: all of them
  printer NAME status TEXT      the status reply
  printer NAME deviceid TEXT [length=N]
                                the device ID reply (unit 1, C1 22); length=N
                                puts N in its 2-byte length field instead of
                                the true length
  printer NAME refuse-next [COUNT] [op=XX sub=XX] [took=N]
                                refuse (sense byte 8 set) the next COUNT print
                                data transfers, or commands with that CDB byte
                                0 and 1 ("refuse-next op=0xC1 sub=0x20": a
                                status read); took=N: N bytes taken first
                                (sense bytes 10-12)
  printer NAME create UNIT STATUS   answer IRP_MJ_CREATE of a unit with STATUS
  printer NAME async on|off     completion from the port driver's thread
  printer NAME clear            no more faults
  printer NAME hold [COUNT] [op=XX sub=XX]
                                keep the next COUNT SCSI requests (of that
                                CDB byte 0 and 1; COUNT 0: all) in the
                                printer: the request stays blocked there
  printer NAME release          let every held request go on
  start NAME: COMMAND...        run a request, PnP, power or removal command
                                and go on with the script once everything
                                has come to rest (finished, blocked in the
                                printer or waiting in the driver); e.g.
                                "start w: write p.0 4096"
  wait NAME                     the started command's result (an error when
                                it is still blocked)
  clock MS                      advance the simulated clock by MS milliseconds
  repeat N COMMAND...           run COMMAND N times
  received NAME                 the print data the printer took, decoded
  counters NAME                 what the port driver saw: claims, descriptor
                                and device-ID queries, PnP and power minors
  registry [PREFIX]             dump the registry (under PREFIX)
  leaks                         what is allocated now, by pool tag
  echo TEXT                     print TEXT

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
"printer NAME hold"; a command that would block must be started. At the end the printers are unplugged, the driver unloaded and
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
        fputs(kUsage, stdout);
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
