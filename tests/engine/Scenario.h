// Plays an expected-journal file (tests/journals/README.md) against a capture
// instance and compares the transcript (host actions, engine calls, statuses)
// with the file. The instance and its engine sit behind IScenarioTarget, so
// the same files hold the portable controller over the scripted engine and
// the Windows library over a stand-in COM server.
#pragma once

#include <deskvid/deskvid.h>

#include <cstdint>
#include <string>
#include <vector>

// One capture instance and the engine under it. A run calls FailNth for the
// file's injections first, then the actions in order, TakeJournal after each
// action, and LiveObjects once at the end, after the instance is gone.
struct IScenarioTarget {
    virtual ~IScenarioTarget() = default;
    // Creates the capture instance (at most one exists at a time).
    virtual void Create() = 0;
    // Destroys it, stopping it first when it is started.
    virtual void Destroy() = 0;
    // Issues one command to the instance; p may be null.
    virtual int32_t Control(int nCommand, const CAPTURE_PARAMS* p) = 0;
    // The engine calls journalled since the last call, one line each.
    virtual std::vector<std::string> TakeJournal() = 0;
    // Makes the n-th call (from 1) of operation op answer hr.
    virtual void FailNth(const std::string& op, int n, int32_t hr) = 0;
    // Engine objects still alive.
    virtual int LiveObjects() = 0;
};

// Runs the scenario file at path. Returns true when the transcript matches
// the file and no engine object is left alive; otherwise false, with the
// reason, the first difference and the whole transcript in *pDiff.
bool RunScenario(const std::string& path, IScenarioTarget& target, std::string* pDiff);

// The same, with the file's contents given as text (name used in messages).
bool RunScenarioText(const std::string& name, const std::string& text, IScenarioTarget& target,
                     std::string* pDiff);
