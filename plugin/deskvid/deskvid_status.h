/*
 * deskvid: the statuses that Control can return, each with a one-line
 * description for hosts. Header only; C and C++.
 */
#ifndef DESKVID_DESKVID_STATUS_H
#define DESKVID_DESKVID_STATUS_H

#include <stddef.h>
#include <stdint.h>

/* The recording engine's own statuses (negative: failures). */
#define DV_E_NO_FILE_NAME ((int32_t)0x80040201u)
#define DV_E_FILE_OPEN ((int32_t)0x80040202u)
#define DV_E_NO_DISPLAY ((int32_t)0x80040203u)
#define DV_E_NO_AUDIO ((int32_t)0x80040204u)
#define DV_E_BAD_INPUT ((int32_t)0x80040205u)
#define DV_E_BITRATE ((int32_t)0x80040206u)
#define DV_E_FPS ((int32_t)0x80040207u)
#define DV_E_SIZE ((int32_t)0x80040208u)
#define DV_E_SHARPNESS ((int32_t)0x80040209u)
#define DV_E_CONTENT_TYPE ((int32_t)0x8004020Au)
#define DV_E_SETTINGS_CHANGED ((int32_t)0x8004020Bu)
#define DV_E_WRITE ((int32_t)0x8004020Cu)
#define DV_E_ENCODER ((int32_t)0x8004020Du)
#define DV_E_NOT_PREPARED ((int32_t)0x8004020Eu)
#define DV_E_KEYFRAME ((int32_t)0x8004020Fu)
#define DV_E_NO_PROFILE ((int32_t)0x80040210u)

typedef struct DESKVID_STATUS_TEXT {
    int32_t hr;
    const char* pszText;
} DESKVID_STATUS_TEXT;

static const DESKVID_STATUS_TEXT g_rgDeskVidStatusText[] = {
    {0, "success"},
    {(int32_t)0x80004001u, "not implemented"},
    {(int32_t)0x80004002u, "interface not supported"},
    {(int32_t)0x80004003u, "invalid pointer, or the engine handed back no object"},
    {(int32_t)0x80004005u,
     "unspecified failure, or a command that is unknown or that the instance's state does not "
     "allow"},
    {(int32_t)0x8000FFFFu, "unexpected failure"},
    {(int32_t)0x8007000Eu, "out of memory"},
    {(int32_t)0x80070057u, "invalid argument"},
    {(int32_t)0x80020005u, "a value of the wrong type was given"},
    {(int32_t)0x80040154u, "the recording engine is not installed or not registered"},
    {(int32_t)0x800401F0u, "COM is not initialised on the calling thread"},
    {DV_E_NO_FILE_NAME, "no output file name was given"},
    {DV_E_FILE_OPEN,
     "the output file cannot be created or written, is not a regular file, or is being recorded "
     "already"},
    {DV_E_NO_DISPLAY,
     "the screen could not be captured: no usable display, or the display was lost or stopped "
     "answering while recording"},
    {DV_E_NO_AUDIO,
     "the default audio input could not be captured: no audio server or input, or it was lost or "
     "stopped answering while recording"},
    {DV_E_BAD_INPUT, "the capture input is not supported"},
    {DV_E_BITRATE, "the bit rate is not positive, or no audience gives one"},
    {DV_E_FPS, "the frame rate is not positive or is too high"},
    {DV_E_SIZE, "the width or height is out of range"},
    {DV_E_SHARPNESS, "the image sharpness is outside 0 to 100"},
    {DV_E_CONTENT_TYPE,
     "the profile's content type is not supported, or the sources do not provide it"},
    {DV_E_SETTINGS_CHANGED,
     "settings changed while recording without a new file name; the recording goes on unchanged"},
    {DV_E_WRITE,
     "the recording could not be written completely (disk full, file-size limit or a "
     "write error)"},
    {DV_E_ENCODER, "the encoder could not be set up, or failed while recording"},
    {DV_E_NOT_PREPARED, "the engine was not prepared for this call"},
    {DV_E_KEYFRAME, "the key-frame distance is not positive"},
    {DV_E_NO_PROFILE, "no profile is attached to the source group"},
};

/* One line describing a status; never null. */
static inline const char* DeskVidStatusText(int32_t hr) {
    size_t i;
    for (i = 0; i < sizeof(g_rgDeskVidStatusText) / sizeof(g_rgDeskVidStatusText[0]); ++i) {
        if (g_rgDeskVidStatusText[i].hr == hr) {
            return g_rgDeskVidStatusText[i].pszText;
        }
    }
    return hr < 0 ? "failure" : "success";
}

#endif /* DESKVID_DESKVID_STATUS_H */
