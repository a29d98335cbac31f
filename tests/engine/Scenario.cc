#include "tests/engine/Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <sstream>

namespace {

typedef std::basic_string<DVWCHAR> WideText;

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string Status(int32_t hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(static_cast<uint32_t>(hr)));
    return text;
}

bool ParseNumber(const std::string& text, int base, long long* pValue) {
    if (text.empty()) {
        return false;
    }
    char* pEnd = nullptr;
    *pValue = std::strtoll(text.c_str(), &pEnd, base);
    return *pEnd == 0;
}

// Splits at blanks that are not inside double quotes.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::string field;
    bool bQuoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && bQuoted && i + 1 < text.size()) {
            field += c;
            field += text[++i];
        } else if (c == '"') {
            bQuoted = !bQuoted;
            field += c;
        } else if (c == ' ' && !bQuoted) {
            if (!field.empty()) {
                fields.push_back(field);
            }
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty()) {
        fields.push_back(field);
    }
    return fields;
}

// "TEXT" with \uXXXX, \" and \\ escapes; printable ASCII otherwise.
bool ParseQuoted(const std::string& text, WideText* pWide) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return false;
    }
    pWide->clear();
    for (size_t i = 1; i + 1 < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            if (i + 2 < text.size() && text[i + 1] == 'u' && i + 6 < text.size()) {
                long long unit;
                if (!ParseNumber(text.substr(i + 2, 4), 16, &unit)) {
                    return false;
                }
                pWide->push_back(static_cast<DVWCHAR>(unit));
                i += 5;
            } else {
                pWide->push_back(static_cast<DVWCHAR>(text[++i]));
            }
        } else if (c < 0x80) {
            pWide->push_back(static_cast<DVWCHAR>(c));
        } else {
            return false;
        }
    }
    return true;
}

struct StartBlock {
    bool bNull = false;
    CAPTURE_PARAMS params = {};
};

// Parses the fields after "start"; file names are kept in *pNames so that
// they outlive every later start that reads them again.
bool ParseStart(const std::vector<std::string>& fields, std::list<WideText>* pNames,
                StartBlock* pBlock, std::string* pError) {
    bool bMask = false;
    uint32_t dwMask = 0;
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string& field = fields[i];
        if (field == "null" && fields.size() == 2) {
            pBlock->bNull = true;
            return true;
        }
        size_t eq = field.find('=');
        std::string key = field.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : field.substr(eq + 1);
        long long n = 0;
        if (key == "file") {
            dwMask |= CAPF_FILE;
            if (value == "null") {
                pBlock->params.lpwszFile = nullptr;
            } else {
                pNames->emplace_back();
                if (!ParseQuoted(value, &pNames->back())) {
                    *pError = "bad file name: " + field;
                    return false;
                }
                pBlock->params.lpwszFile = pNames->back().c_str();
            }
        } else if (key == "sharpness" && ParseNumber(value, 0, &n)) {
            dwMask |= CAPF_SHARPNESS;
            pBlock->params.bySharpness = static_cast<uint8_t>(n);
        } else if (key == "bitrate" && ParseNumber(value, 0, &n)) {
            dwMask |= CAPF_BITRATE;
            pBlock->params.nBitrateKbps = static_cast<int32_t>(static_cast<uint32_t>(n));
        } else if (key == "fps" && ParseNumber(value, 0, &n)) {
            dwMask |= CAPF_FPS;
            pBlock->params.nFps = static_cast<int32_t>(static_cast<uint32_t>(n));
        } else if (key == "size" && value.find('x') != std::string::npos) {
            long long w = 0, h = 0;
            size_t x = value.find('x');
            if (!ParseNumber(value.substr(0, x), 0, &w) ||
                !ParseNumber(value.substr(x + 1), 0, &h)) {
                *pError = "bad size: " + field;
                return false;
            }
            dwMask |= CAPF_SIZE;
            pBlock->params.nWidth = static_cast<int32_t>(w);
            pBlock->params.nHeight = static_cast<int32_t>(h);
        } else if (key == "mask" && ParseNumber(value, 0, &n)) {
            bMask = true;
            pBlock->params.dwMask = static_cast<uint32_t>(n);
        } else {
            *pError = "bad start field: " + field;
            return false;
        }
    }
    if (!bMask) {
        pBlock->params.dwMask = dwMask;
    }
    return true;
}

}  // namespace

bool RunScenario(const std::string& path, IScenarioTarget& target, std::string* pDiff) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *pDiff = path + ": cannot be read";
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    return RunScenarioText(path, text.str(), target, pDiff);
}

bool RunScenarioText(const std::string& name, const std::string& text, IScenarioTarget& target,
                     std::string* pDiff) {
    std::vector<std::string> expected;
    std::vector<std::string> actions;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '!') {
            // ! fail OP N STATUS, where OP may hold blanks ("new Encoder").
            std::vector<std::string> fields = Fields(line);
            long long n = 0, hr = 0;
            if (fields.size() < 5 || fields[1] != "fail" ||
                !ParseNumber(fields[fields.size() - 2], 10, &n) ||
                !ParseNumber(fields.back(), 16, &hr)) {
                *pDiff = name + ": bad directive: " + line;
                return false;
            }
            std::string op = fields[2];
            for (size_t i = 3; i + 2 < fields.size(); ++i) {
                op += " " + fields[i];
            }
            target.FailNth(op, static_cast<int>(n),
                           static_cast<int32_t>(static_cast<uint32_t>(hr)));
            continue;
        }
        expected.push_back(line);
        if (line[0] == '>') {
            actions.push_back(line);
        }
    }

    std::vector<std::string> actual;
    std::list<WideText> names;
    bool bCreated = false;
    auto takeJournal = [&]() {
        for (std::string& call : target.TakeJournal()) {
            actual.push_back(Trim(call));
        }
    };
    takeJournal();
    for (const std::string& action : actions) {
        actual.push_back(action);
        std::vector<std::string> fields = Fields(action.substr(1));
        const std::string verb = fields.empty() ? std::string() : fields[0];
        bool bStatus = true;
        int32_t hr = 0;
        if (verb == "create" || verb == "destroy") {
            bStatus = false;
            if ((verb == "create") == bCreated) {
                *pDiff = name + ": " + action + " with" + (bCreated ? "" : "out") + " an instance";
                if (bCreated) {
                    target.Destroy();
                }
                return false;
            }
            bCreated = !bCreated;
            if (bCreated) {
                target.Create();
            } else {
                target.Destroy();
            }
        } else if (!bCreated) {
            *pDiff = name + ": " + action + " without an instance";
            return false;
        } else if (verb == "start") {
            StartBlock block;
            std::string error;
            if (!ParseStart(fields, &names, &block, &error)) {
                *pDiff = name + ": " + error;
                target.Destroy();
                return false;
            }
            hr = target.Control(CAPCMD_START, block.bNull ? nullptr : &block.params);
        } else if (verb == "pause" && fields.size() == 1) {
            hr = target.Control(CAPCMD_PAUSE, nullptr);
        } else if (verb == "stop" && fields.size() == 1) {
            hr = target.Control(CAPCMD_STOP, nullptr);
        } else if (verb == "command" && fields.size() == 2) {
            long long nCommand = 0;
            if (!ParseNumber(fields[1], 0, &nCommand)) {
                *pDiff = name + ": bad command: " + action;
                target.Destroy();
                return false;
            }
            hr = target.Control(static_cast<int>(nCommand), nullptr);
        } else {
            *pDiff = name + ": unknown action: " + action;
            target.Destroy();
            return false;
        }
        takeJournal();
        if (bStatus) {
            actual.push_back("= " + Status(hr));
        }
    }
    if (bCreated) {
        // A scenario ends with its instance destroyed; clean up and fail.
        target.Destroy();
        takeJournal();
        actual.push_back("(instance still alive at the end)");
    }

    std::ostringstream report;
    bool bSame = actual == expected;
    if (!bSame) {
        size_t i = 0;
        while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) {
            ++i;
        }
        report << name << ": transcript differs at entry " << i + 1
               << "\n  expected: " << (i < expected.size() ? expected[i] : "(end)")
               << "\n  actual:   " << (i < actual.size() ? actual[i] : "(end)")
               << "\nwhole transcript:\n";
        for (const std::string& entry : actual) {
            report << "  " << entry << "\n";
        }
    }
    int nLive = target.LiveObjects();
    if (nLive != 0) {
        report << name << ": " << nLive << " engine objects alive at the end\n";
    }
    *pDiff = report.str();
    return bSame && nLive == 0;
}
