#include "tests/engine/CallJournal.h"

#include <algorithm>
#include <cstdio>

HRESULT CCallJournal::Call(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.push_back(line);
    const std::string op = OperationOf(line);
    const int n = ++m_calls[op];
    for (const Injection& injection : m_injections) {
        if (injection.n == n && injection.op == op) {
            return injection.hr;
        }
    }
    return S_OK;
}

void CCallJournal::FailNth(const std::string& op, int n, HRESULT hr) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_injections.push_back({op, n, hr});
}

std::vector<std::string> CCallJournal::Lines() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
}

std::string CCallJournal::TakeText() {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string text;
    for (const std::string& line : m_lines) {
        text += line;
        text += '\n';
    }
    m_lines.clear();
    return text;
}

void CCallJournal::Reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.clear();
    m_calls.clear();
    m_injections.clear();
}

std::string OperationOf(const std::string& line) {
    size_t end = std::min(line.find('('), line.find(" ="));
    return line.substr(0, end);
}

std::string JournalText(const OLECHAR* pwsz) {
    if (pwsz == nullptr) {
        return "null";
    }
    std::string text = "\"";
    for (; *pwsz != 0; ++pwsz) {
        unsigned unit = static_cast<unsigned>(*pwsz) & 0xFFFFu;
        if (unit >= 0x20 && unit <= 0x7E) {
            text += static_cast<char>(unit);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", unit);
            text += escape;
        }
    }
    return text + "\"";
}

std::string JournalBool(VARIANT_BOOL b) {
    if (b == VARIANT_TRUE) {
        return "true";
    }
    if (b == VARIANT_FALSE) {
        return "false";
    }
    return std::to_string(b);
}
