#include "jobcheck.h"

#include "modelnames.h"
#include "prnmodel.h"

#include <algorithm>

namespace prnsim
{

namespace
{

const DWORD kJobSetupId = 4121;
// The lists are asked as the printer driver asks them: with a request of the
// job's size, the settings not given 0.
const size_t kRequestSettings = 132;
const DWORD kLargestList = 1u << 20;

// "PhotoPaper (281)", or "281" where the model names no value.
std::string ValueWords(uint32_t setting, int32_t value)
{
    std::string name = modelnames::NameOf(setting, value);
    return name.empty() ? std::to_string(value) : name + " (" + std::to_string(value) + ")";
}

// "Media PhotoPaper (281)", "setting 111 = 0".
std::string SettingWords(uint32_t setting, int32_t value)
{
    if (modelnames::SettingOf(setting) == nullptr)
        return "setting " + std::to_string(setting) + " = " + std::to_string(value);
    return modelnames::SettingName(setting) + " " + ValueWords(setting, value);
}

std::string Joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : ", ") + w;
    return text;
}

std::vector<LONG> Widened(const std::vector<int32_t>& settings)
{
    std::vector<LONG> wide(settings.begin(), settings.end());
    if (wide.size() < kRequestSettings)
        wide.resize(kRequestSettings, 0);
    return wide;
}

// The values a Drv list offers with this request; false when it offers none.
bool ListValues(uint32_t list, const std::vector<int32_t>& settings, std::vector<int32_t>* values)
{
    std::vector<LONG> wide = Widened(settings);
    DataBaseRequest request = {};
    request.SettingCount = (DWORD)wide.size();
    request.Settings = wide.data();
    DWORD size = 0;
    if (XDB_AccessDrvDataBase(list, &request, 0, nullptr, &size) != DB_MORE_DATA || size == 0 ||
        size > kLargestList)
        return false;
    std::vector<ListItem> items(size / sizeof(ListItem));
    DWORD written = 0;
    if (XDB_AccessDrvDataBase(list, &request, (DWORD)(items.size() * sizeof(ListItem)),
                              items.data(), &written) != DB_OK)
        return false;
    for (const ListItem& item : items)
        values->push_back(item.Value);
    return !values->empty();
}

bool Reads(uint32_t id, uint32_t setting)
{
    const modelnames::DrvId* info = modelnames::DrvIdOf(id);
    return info != nullptr && std::find(info->reads, info->reads + info->readCount, setting) !=
                                  info->reads + info->readCount;
}

// " with Media PhotoPaper (281)": the settings the offer depends on.
std::string Circumstances(const modelnames::Offer& offer, const std::vector<int32_t>& settings)
{
    std::vector<std::string> with;
    auto add = [&](uint32_t s) {
        int32_t v = s < settings.size() ? settings[s] : 0;
        with.push_back(SettingWords(s, v));
    };
    if (offer.conditional)
        add(offer.whenSetting);
    if (const modelnames::DrvId* list = modelnames::DrvIdOf(offer.list))
        for (size_t i = 0; i < list->readCount; i++)
            if (list->reads[i] != offer.setting &&
                !(offer.conditional && list->reads[i] == offer.whenSetting))
                add(list->reads[i]);
    return with.empty() ? "" : " with " + Joined(with);
}

// The values one offer gives with this request; false when it does not
// hold here or offers nothing.
bool Offered(const modelnames::Offer& offer, const std::vector<int32_t>& settings,
             std::vector<int32_t>* values)
{
    if (offer.conditional &&
        (offer.whenSetting >= settings.size() || settings[offer.whenSetting] != offer.whenValue))
        return false;
    if (offer.list == 0) {
        values->assign(offer.values, offer.values + offer.valueCount);
        return true;
    }
    return ListValues(offer.list, settings, values);
}

// The line for a value not offered, "" when it is.
std::string NotOffered(const modelnames::Offer& offer, const std::vector<int32_t>& settings)
{
    std::vector<int32_t> values;
    int32_t value = settings[offer.setting];
    if (!Offered(offer, settings, &values) ||
        std::find(values.begin(), values.end(), value) != values.end())
        return "";
    std::vector<std::string> words;
    for (int32_t v : values)
        words.push_back(ValueWords(offer.setting, v));
    return SettingWords(offer.setting, value) + " is not among the values the model offers" +
           Circumstances(offer, settings) + ": " + Joined(words) +
           (offer.list ? " (Drv " + std::to_string(offer.list) + ")" : std::string());
}

// What the printer needs from a job setup, and the commands that give it.
struct Need {
    const char* what;
    const char* letters;
};
const Need kNeeds[] = {
    {"print mode (ESC ( c, ESC ( d, ESC ( t)", "cdt"},
    {"page format (ESC ( p)", "p"},
    {"paper size (ESC ( P)", "P"},
    {"paper source and media (ESC ( l with 3 bytes)", "l"},
};

// The needs each job setup of the stream lacks, by index into kNeeds (and
// kNeeds' size for bytes that are no command), with where the setup starts.
struct Lack {
    size_t offset;
    std::vector<size_t> needs;
};

std::vector<Lack> Lacks(const StreamSummary& stream)
{
    std::vector<Lack> lacks;
    const std::vector<StreamItem>& items = stream.items;
    for (size_t i = 0; i < items.size(); i++) {
        const StreamItem& start = items[i];
        if (start.kind != StreamItem::kCommand || start.letter != 'b' || start.first != 1)
            continue;
        std::string have;
        bool stray = false;
        size_t j = i + 1;
        for (; j < items.size(); j++) {
            const StreamItem& it = items[j];
            if (it.kind == StreamItem::kRaster || it.kind == StreamItem::kFormFeed ||
                (it.kind == StreamItem::kCommand && (it.letter == 'b' || it.letter == 'e')))
                break;
            if (it.kind == StreamItem::kStray)
                stray = true;
            else if (it.kind == StreamItem::kCommand && (it.letter != 'l' || it.length == 3))
                have += it.letter;
        }
        Lack lack{start.offset, {}};
        for (size_t n = 0; n < sizeof kNeeds / sizeof kNeeds[0]; n++)
            for (const char* l = kNeeds[n].letters; *l; l++)
                if (have.find(*l) == std::string::npos) {
                    lack.needs.push_back(n);
                    break;
                }
        if (stray)
            lack.needs.push_back(sizeof kNeeds / sizeof kNeeds[0]);
        if (!lack.needs.empty())
            lacks.push_back(lack);
        i = j - 1;
    }
    return lacks;
}

std::string NeedWords(size_t need)
{
    return need < sizeof kNeeds / sizeof kNeeds[0] ? std::string("no ") + kNeeds[need].what
                                                   : "bytes that are no command";
}

std::vector<unsigned char> JobSetup(const std::vector<int32_t>& settings)
{
    std::vector<LONG> wide = Widened(settings);
    DataBaseRequest request = {};
    request.SettingCount = (DWORD)wide.size();
    request.Settings = wide.data();
    DWORD size = 0;
    std::vector<unsigned char> bytes;
    if (XDB_AccessDrvDataBase(kJobSetupId, &request, 0, nullptr, &size) != DB_MORE_DATA ||
        size > kLargestList)
        return bytes;
    bytes.resize(size);
    if (XDB_AccessDrvDataBase(kJobSetupId, &request, size, bytes.data(), &size) != DB_OK)
        bytes.clear();
    bytes.resize(std::min<size_t>(size, bytes.size()));
    return bytes;
}

bool Lacks(const std::vector<int32_t>& settings, size_t need)
{
    std::vector<unsigned char> bytes = JobSetup(settings);
    for (const Lack& lack : Lacks(DecodeStream(bytes.data(), bytes.size())))
        if (std::find(lack.needs.begin(), lack.needs.end(), need) != lack.needs.end())
            return true;
    return bytes.empty();
}

// The setting that keeps a need out of the job setup: the first the job
// setup reads for which another value the model offers brings it.
std::string Culprit(const std::vector<int32_t>& settings, size_t need)
{
    const modelnames::DrvId* setup = modelnames::DrvIdOf(kJobSetupId);
    if (setup == nullptr)
        return "";
    for (size_t r = 0; r < setup->readCount; r++) {
        uint32_t s = setup->reads[r];
        if (s >= settings.size())
            continue;
        std::vector<std::string> bringing;
        for (size_t o = 0; o < modelnames::kOfferCount; o++) {
            const modelnames::Offer& offer = modelnames::kOffers[o];
            std::vector<int32_t> values;
            if (offer.setting != s || offer.conditional || !Offered(offer, settings, &values))
                continue;
            for (int32_t v : values) {
                std::vector<int32_t> other = settings;
                other[s] = v;
                if (v != settings[s] && !Lacks(other, need))
                    bringing.push_back(ValueWords(s, v));
            }
        }
        if (!bringing.empty())
            return ": " + SettingWords(s, settings[s]) +
                   " keeps it out; the model builds it with " + modelnames::SettingName(s) + " " +
                   Joined(bringing);
    }
    return "";
}

} // namespace

std::vector<std::string> CheckSettings(uint32_t id, const std::vector<int32_t>& settings,
                                       const std::set<uint32_t>& given)
{
    std::vector<std::string> problems;
    std::set<uint32_t> said;
    for (size_t o = 0; o < modelnames::kOfferCount; o++) {
        const modelnames::Offer& offer = modelnames::kOffers[o];
        uint32_t s = offer.setting;
        if (s >= settings.size() || said.count(s) || (!Reads(id, s) && !given.count(s)))
            continue;
        std::string line = NotOffered(offer, settings);
        if (!line.empty()) {
            problems.push_back(line);
            said.insert(s);
        }
    }
    return problems;
}

std::vector<std::string> CheckJobSetup(const StreamSummary& stream)
{
    std::vector<std::string> problems;
    for (const Lack& lack : Lacks(stream))
        for (size_t need : lack.needs)
            problems.push_back("the job setup at byte " + std::to_string(lack.offset) + " has " +
                               NeedWords(need));
    return problems;
}

std::vector<std::string> CheckJobSetupOf(const std::vector<int32_t>& settings)
{
    std::vector<unsigned char> bytes = JobSetup(settings);
    std::vector<std::string> problems;
    for (const Lack& lack : Lacks(DecodeStream(bytes.data(), bytes.size())))
        for (size_t need : lack.needs)
            problems.push_back("the job setup (Drv 4121) has " + NeedWords(need) +
                               Culprit(settings, need));
    return problems;
}

} // namespace prnsim
