// The call journal that the scripted engine and the Windows stand-in COM
// server both keep, so that one set of expected journals holds them both: the
// line format of tests/journals/README.md and failure injection by operation.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "port/port.h"

class CCallJournal {
public:
    // Journals one call; answers the status injected for it, otherwise S_OK.
    HRESULT Call(const std::string& line);
    // Makes the n-th call (from 1) of operation op answer hr.
    void FailNth(const std::string& op, int n, HRESULT hr);
    std::vector<std::string> Lines() const;
    // The lines so far, newline-terminated, removed from the journal.
    std::string TakeText();
    // Forgets lines, call counts and injections.
    void Reset();

private:
    struct Injection {
        std::string op;
        int n;
        HRESULT hr;
    };
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::map<std::string, int> m_calls;
    std::vector<Injection> m_injections;
};

// The operation a journal line names: the text before "(", " =" or the end.
std::string OperationOf(const std::string& line);
// A text argument: quoted, characters outside printable ASCII as \uXXXX;
// "null" for a null string.
std::string JournalText(const OLECHAR* pwsz);
// A boolean argument: "true" (-1), "false" (0), else its number.
std::string JournalBool(VARIANT_BOOL b);
