// xdbq: ask the printer's model database a question from the command line
// and see the exact answer bytes.
#include "query.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{

const char kUsage[] = R"(usage: xdbq DB ID [OPTIONS]
       xdbq settings [-s SETTING=VALUE]...
       xdbq ids
       xdbq media TEXT [--size N]
       xdbq dump

Asks prnmodel's export for DB (root, drv, lm, mnt, pa, sm) with request id ID
(decimal or 0x-hex, passed as given: only its low 16 bits count) and prints
the result code with its DB_ name and the out size, then the answer.

request record:
  -s, --setting N=VALUE   setting N (VALUE signed decimal or 0x-hex); a named
                          setting and value by name: -s PaperSize=A4
                          -s Media=PhotoPaper (xdbq settings lists them)
  --settings COUNT        SettingCount (default: highest N + 1; none: no array)
  --null-settings         Settings is NULL (SettingCount as above)
  -t, --string K=TEXT     string K
  --null-string K         string K is a NULL pointer
  --strings COUNT         StringCount (default: highest K + 1)
  --null-strings          Strings is NULL
  --context N             Context
  --printer NAME          PrinterName; the printer exists in the spooler
  --handle                open the printer here and pass its handle instead
  --no-request            pass no request record at all
what the library sees:
  --data NAME=NUMBER      32-bit value stored with the printer
  --data-string NAME=TEXT string value stored with the printer
  --time YYYY-MM-DDTHH:MM[:SS]   local time (default 2026-01-01T00:00)
  --country CODE          the user's country code (default 1)
the call:
  --size N                one call with an N-byte buffer (0: no buffer);
                          default: size query, then read with that size
  --lenient               show the answer of a request the model cannot
                          build (below) anyway, after a warning line each
output (after the first line, on DB_OK; one of the first five):
  --hex                   hex dump (default)
  --int32                 32-bit numbers
  --text                  UTF-16 text
  --items                 list items: value, name id, details, default mark
  --decode                printer commands: ESC ( letter commands with their
                          fields, mode blocks as their text lines
  --svg FILE              also draw the page that a page format command in the
                          answer describes (paper, printable area, margins)
  --out FILE              also write the answer's bytes to FILE (to feed
                          prnsim print, say)

A Drv request is checked against what the model offers before its answer is
shown: each setting the id reads (xdbq ids), and each given, must be among
the values the model offers with the other settings (xdbq settings), and a
job setup must carry the commands the printer needs. What is not is said in
one line each on standard error, with the values the model offers instead,
and the exit code is 4.

settings: each setting with the values the model offers (with the other
settings as -s gives them, 0 otherwise) one per line, its default, the
other values the model knows of it, and the Drv ids that read it.
ids: the Drv ids: how each is answered (value, list, sequence, record,
adjustment), what it answers and the settings it reads. The ids a printer
driver asks for a job: 4120 job start, 4121 job setup, 4125 page end, 4124
switch off, 4123 reset, 4122 job end.
media: decodes a media report with GetMediaInfo (size: bytes stated, 28).
dump: the answers of every id of the six databases under a fixed set of
requests and of GetMediaInfo, for comparing two builds byte for byte.

The first line is the result code and the out size; a list answer leaves
the out size unwritten, and the size query's is shown. DB_NO_SETTINGS is
followed by the number of settings the id needs with the values given.
--svg on an answer without a page format command says so and draws nothing.

Exit codes: 0 DB_OK (media: decoded); 1 any other answer; 2 bad input or a
file that cannot be written; 4 a request the model cannot build (with
--lenient too).
)";

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        fprintf(stderr, "xdbq: missing DB and ID (try xdbq --help)\n");
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "media")
        return xdbq::RunMedia(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args[0] == "settings")
        return xdbq::RunSettings(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args[0] == "ids")
        return xdbq::RunIds(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args[0] == "dump")
        return xdbq::RunDump(std::vector<std::string>(args.begin() + 1, args.end()));
    xdbq::Query query;
    std::string error = xdbq::ParseQuery(args, &query);
    if (!error.empty()) {
        fprintf(stderr, "xdbq: %s\n", error.c_str());
        return 2;
    }
    return xdbq::RunQuery(query);
}
