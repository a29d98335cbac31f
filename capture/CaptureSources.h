// Makes a source group capture the whole screen and the default audio device
// and attaches a custom profile built from the capture settings. Used on a
// fresh group and on one that already holds sources and a profile.
#pragma once

#include <deskvid/deskvid.h>

#include "encoder/WMEncoder.h"

// Replaces the group's sources by one screen-capture video source and one
// audio-device source, then builds and attaches the profile. Returns the first
// failure, or the result of attaching the profile. The group is not kept.
HRESULT ConfigureSources(IWMEncSourceGroup* pGroup, const CAPTURE_PARAMS& params);

// The empty wide string handed to the engine as scheme and initialisation
// data: one constant, laid out as a length-prefixed string so that engines
// may measure it. Never freed.
BSTR EmptyWideString();

// A successful call that hands back no object would leave nothing to work
// on; it counts as the engine's failure rather than a null to follow.
template <class T>
HRESULT Obtained(HRESULT hr, const TComPtr<T>& p) {
    return SUCCEEDED(hr) && !p ? E_POINTER : hr;
}
