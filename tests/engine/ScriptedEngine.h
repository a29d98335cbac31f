// The scripted test engine: every engine object in memory, registered in the
// runtime's class table under the encoder and profile class ids. Each call is
// journalled as one line (the format of tests/journals/README.md), the n-th
// call of a named operation can be made to fail, each source group keeps its
// sources and profile, and live objects are counted so that tests can check
// that nothing leaked. Every function is safe on any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "port/port.h"

namespace scripted {

// Registers (Unregister: revokes) the encoder and profile factories.
void Register();
void Unregister();

// Clears the journal, the call counts, the injected failures and the stop hook.
void Reset();

// Every call since the last Reset, in order.
std::vector<std::string> Journal();

// Makes the n-th call (from 1, counted since the last Reset) of operation op
// answer hr; op is a journal line's name, e.g. "Encoder.PrepareToEncode" or
// "new Encoder". The call is still journalled, has no other effect and hands
// back no object, even when hr is not a failure.
void FailNth(const std::string& op, int n, HRESULT hr);

// The profile last attached to a source group: n for the n-th profile made
// since the last Reset, 0 when none was attached since.
int AttachedProfile();

// Engine objects alive now, over all instances.
int LiveObjects();

// Called inside every Encoder.Stop() before it returns (after journalling).
void SetStopHook(std::function<void()> hook);

}  // namespace scripted
