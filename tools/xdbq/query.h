// What one xdbq run asks: the database, the id and the request record the
// options describe, and how to show the answer.
#ifndef XDBQ_QUERY_H
#define XDBQ_QUERY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace xdbq
{

enum class Format { kHex, kInt32, kText, kItems, kCommands };

struct StoredValue {
    bool isString = false;
    uint32_t number = 0;
    std::string text;
};

struct Query {
    std::string db; // root, drv, lm, mnt, pa, sm
    uint32_t id = 0;
    bool noRequest = false;
    // settings: values by number; count -1 = highest number + 1
    std::map<uint32_t, int32_t> settings;
    long settingCount = -1;
    bool nullSettings = false;
    std::map<uint32_t, std::string> strings;
    std::vector<uint32_t> nullStrings;
    long stringCount = -1;
    bool nullStringArray = false;
    uint32_t context = 0;
    std::string printer;     // PrinterName of the request
    bool passHandle = false; // open it here and pass the handle instead
    std::map<std::string, StoredValue> printerData;
    bool setTime = false;
    int time[6] = {0, 0, 0, 0, 0, 0}; // year month day hour minute second
    std::string country;
    long bufferSize = -1; // -1: size query, then read
    Format format = Format::kHex;
    std::string formatOption; // the option that chose the format, "" for the default
    std::string svg;          // draw the page of a command answer into this file
    std::string out;          // write the answer's bytes into this file
    bool lenient = false;     // show a request the model cannot build anyway
};

// Parses "DB ID [options]"; returns an error message, empty when good.
std::string ParseQuery(const std::vector<std::string>& args, Query* q);

// Runs the query against prnmodel and prints the answer. Returns the exit
// code: 0 for DB_OK, 1 for any other answer, 2 for a file that cannot be
// written, 4 for a request the model cannot build (prnsim::kExitNotBuildable).
int RunQuery(const Query& q);

// `xdbq media TEXT [--size N]`
int RunMedia(const std::vector<std::string>& args);

// `xdbq settings`: each named setting with its values one per line, its
// default, the list that offers its values and the ids that read it.
int RunSettings(const std::vector<std::string>& args);

// `xdbq ids`: the Drv ids, what each answers and the settings it reads.
int RunIds(const std::vector<std::string>& args);

// `xdbq dump`: every id of the six databases under a fixed set of requests.
int RunDump(const std::vector<std::string>& args);

} // namespace xdbq

#endif
