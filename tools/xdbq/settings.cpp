// `xdbq settings` and `xdbq ids`: what the model says of its settings and of
// its Drv ids, from the model source (names, offers, abouts, and which
// settings each id's tree reads) and from the lists the model answers.
#include "query.h"

#include "modelnames.h"
#include "prnmodel.h"
#include "um_control.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace xdbq
{

namespace
{

const size_t kRequestSettings = 132;

std::string ValueWords(uint32_t setting, int32_t value)
{
    std::string name = modelnames::NameOf(setting, value);
    return name.empty() ? std::to_string(value) : name + " (" + std::to_string(value) + ")";
}

std::string SettingsRead(const modelnames::DrvId& id)
{
    std::string text;
    for (size_t i = 0; i < id.readCount; i++)
        text += (i ? ", " : "") + modelnames::SettingName(id.reads[i]);
    return text;
}

// The list's items asked with the request; empty when it answers nothing.
std::vector<ListItem> Items(uint32_t list, std::vector<LONG> settings)
{
    DataBaseRequest request = {};
    request.SettingCount = (DWORD)settings.size();
    request.Settings = settings.data();
    DWORD size = 0;
    std::vector<ListItem> items;
    if (XDB_AccessDrvDataBase(list, &request, 0, nullptr, &size) != DB_MORE_DATA ||
        size > (1u << 20))
        return items;
    items.resize(size / sizeof(ListItem));
    DWORD written = 0;
    if (XDB_AccessDrvDataBase(list, &request, (DWORD)(items.size() * sizeof(ListItem)),
                              items.data(), &written) != DB_OK)
        items.clear();
    return items;
}

// "with Media PlainPaper (1)": what the list selects on, as asked.
std::string AskedWith(const modelnames::Offer& offer, const std::vector<LONG>& settings)
{
    std::string text;
    auto add = [&](uint32_t s) {
        text += (text.empty() ? " with " : ", ") + modelnames::SettingName(s) +
                (modelnames::SettingOf(s) ? " " : " = ") + ValueWords(s, settings[s]);
    };
    if (offer.conditional)
        add(offer.whenSetting);
    if (const modelnames::DrvId* list = modelnames::DrvIdOf(offer.list))
        for (size_t i = 0; i < list->readCount; i++)
            if (list->reads[i] != offer.setting)
                add(list->reads[i]);
    return text;
}

void ShowOffer(const modelnames::Offer& offer, const std::vector<LONG>& settings,
               std::vector<int32_t>* shown)
{
    uint32_t s = offer.setting;
    if (offer.conditional && settings[offer.whenSetting] != offer.whenValue) {
        printf("  with %s %s only, the values of Drv %u\n",
               modelnames::SettingName(offer.whenSetting).c_str(),
               ValueWords(offer.whenSetting, offer.whenValue).c_str(), offer.list);
        return;
    }
    if (offer.list == 0) {
        printf("  values the model offers whatever the other settings:\n");
        for (size_t i = 0; i < offer.valueCount; i++) {
            printf("    %s\n", ValueWords(s, offer.values[i]).c_str());
            shown->push_back(offer.values[i]);
        }
        return;
    }
    std::vector<ListItem> items = Items(offer.list, settings);
    printf("  values the model offers%s (Drv %u):%s\n", AskedWith(offer, settings).c_str(),
           offer.list, items.empty() ? " none" : "");
    for (const ListItem& item : items) {
        printf("    %s%s\n", ValueWords(s, item.Value).c_str(),
               item.DefaultMark != 0 ? "  (default)" : "");
        shown->push_back(item.Value);
    }
}

void ShowSetting(uint32_t number, const std::vector<LONG>& settings)
{
    const modelnames::Setting* named = modelnames::SettingOf(number);
    if (named)
        printf("%s = setting %u\n", named->name, number);
    else
        printf("setting %u (the model gives it no name)\n", number);
    std::vector<int32_t> shown;
    bool offered = false;
    for (size_t i = 0; i < modelnames::kOfferCount; i++)
        if (modelnames::kOffers[i].setting == number) {
            ShowOffer(modelnames::kOffers[i], settings, &shown);
            offered = true;
        }
    std::vector<std::string> others;
    for (size_t i = 0; named && i < named->valueCount; i++)
        if (std::find(shown.begin(), shown.end(), named->values[i].value) == shown.end())
            others.push_back(ValueWords(number, named->values[i].value));
    if (!others.empty()) {
        printf("  %s:\n", offered ? "other values the model knows (not offered with these settings)"
                                  : "values the model knows");
        for (const std::string& o : others)
            printf("    %s\n", o.c_str());
    } else if (!offered) {
        printf("  values: any number (the model lists none)\n");
    }
    std::string readers;
    for (size_t i = 0; i < modelnames::kDrvIdCount; i++) {
        const modelnames::DrvId& id = modelnames::kDrvIds[i];
        if (std::find(id.reads, id.reads + id.readCount, number) != id.reads + id.readCount)
            readers += (readers.empty() ? "" : ", ") + std::to_string(id.id);
    }
    printf("  read by: %s\n", readers.empty() ? "no Drv id's tree" : ("Drv " + readers).c_str());
}

// Every setting the model marks a default for, at that default unless -s
// gives it: the request a job starts from. Twice over, since one default
// may depend on another (the quality's on the media).
void TakeDefaults(std::vector<LONG>& settings, const std::map<uint32_t, int32_t>& given)
{
    for (int round = 0; round < 2; round++)
        for (size_t i = 0; i < modelnames::kOfferCount; i++) {
            const modelnames::Offer& offer = modelnames::kOffers[i];
            if (offer.list == 0 || offer.conditional || given.count(offer.setting))
                continue;
            for (const ListItem& item : Items(offer.list, settings))
                if (item.DefaultMark != 0)
                    settings[offer.setting] = item.Value;
        }
}

} // namespace

int RunSettings(const std::vector<std::string>& args)
{
    std::vector<LONG> settings(kRequestSettings, 0);
    std::map<uint32_t, int32_t> given;
    for (size_t i = 0; i < args.size(); i++) {
        uint32_t number;
        int32_t value;
        if (args[i] != "-s" || i + 1 >= args.size()) {
            fprintf(stderr, "xdbq: settings takes only -s SETTING=VALUE (got '%s')\n",
                    args[i].c_str());
            return 2;
        }
        std::string error = modelnames::ParseAssignment(args[++i], &number, &value);
        if (error.empty() && number >= kRequestSettings)
            error = "setting " + std::to_string(number) + " is beyond the " +
                    std::to_string(kRequestSettings) + " of a job's request";
        if (!error.empty()) {
            fprintf(stderr, "xdbq: %s\n", error.c_str());
            return 2;
        }
        settings[number] = value;
        given[number] = value;
    }
    UmReset();
    TakeDefaults(settings, given);
    printf("Settings (-s NAME=VALUE, names in any case, a number stands for either). What the\n"
           "model offers for one depends on the others: asked here with each at its default\n"
           "where the model marks one, 0 otherwise, or as -s gives it (xdbq settings -s\n"
           "Media=PhotoPaper asks with that).\n");
    std::vector<uint32_t> numbers;
    for (size_t i = 0; i < modelnames::kSettingCount; i++)
        numbers.push_back(modelnames::kSettings[i].number);
    for (size_t i = 0; i < modelnames::kOfferCount; i++)
        if (std::find(numbers.begin(), numbers.end(), modelnames::kOffers[i].setting) ==
            numbers.end())
            numbers.push_back(modelnames::kOffers[i].setting);
    std::sort(numbers.begin(), numbers.end());
    for (uint32_t number : numbers) {
        printf("\n");
        ShowSetting(number, settings);
    }
    return 0;
}

int RunIds(const std::vector<std::string>& args)
{
    if (!args.empty()) {
        fprintf(stderr, "xdbq: ids takes no arguments (got '%s')\n", args[0].c_str());
        return 2;
    }
    static const char* const kKinds[] = {"value",    "list",   "list",      "list",
                                         "sequence", "record", "adjustment"};
    printf("Drv ids of the model (xdbq drv ID ...): how each answers, what it answers and the\n"
           "settings its answer reads (builders read settings of their own):\n");
    for (size_t i = 0; i < modelnames::kDrvIdCount; i++) {
        const modelnames::DrvId& id = modelnames::kDrvIds[i];
        std::string reads = SettingsRead(id);
        printf("  %u  %-10s %s%s\n", id.id, id.kind < 7 ? kKinds[id.kind] : "other",
               id.about[0] ? id.about : "(its meaning lies with the printer driver's components)",
               reads.empty() ? "" : ("; reads " + reads).c_str());
    }
    return 0;
}

} // namespace xdbq
