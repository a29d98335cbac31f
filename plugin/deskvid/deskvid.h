/*
 * deskvid: screen-recording plug-in. The public interface for hosts, in C and
 * C++.
 *
 * A host loads the library (libdeskvid.so, deskvid.dll), resolves the five
 * qm* functions by name, learns the interface name, creates capture instances
 * and drives each through IWMEncDeskVid::Control with three commands: start
 * (with a CAPTURE_PARAMS block), pause and stop. Each instance records the
 * whole screen and the default audio input into a Windows Media file.
 *
 * Host obligations:
 *  - Windows: initialise COM (CoInitializeEx) on every thread that issues
 *    commands to an instance or destroys one.
 *  - Keep the text that CAPTURE_PARAMS.lpwszFile points at alive for as long
 *    as a later start of that instance may read it: the pointer is stored,
 *    not the text, and a start with nothing selected reads it again.
 *  - Never issue two commands to one instance at once, nor one while it is
 *    being destroyed.
 *  - Destroy every instance before unloading the library.
 */
#ifndef DESKVID_DESKVID_H
#define DESKVID_DESKVID_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
#else
#include <stdbool.h>
#include <stddef.h>
#if !defined(_WIN32)
#include <uchar.h>
#endif
#endif

/* Wide (UTF-16) characters of file names. */
#if defined(_WIN32)
typedef wchar_t DVWCHAR;
#else
typedef char16_t DVWCHAR;
#endif

/* Calling conventions: the exports use the C convention; Control uses the
 * platform compiler's default for member functions (thiscall on 32-bit
 * Windows). */
#if defined(_WIN32)
#define DESKVID_CALL __cdecl
#else
#define DESKVID_CALL
#endif

#if defined(_WIN32) && defined(__i386__) && (defined(__GNUC__) || defined(__clang__))
#define DESKVID_THISCALL __attribute__((thiscall))
#else
#define DESKVID_THISCALL
#endif

#if defined(DESKVID_BUILDING)
#if defined(_WIN32)
#define DESKVID_API __declspec(dllexport)
#else
#define DESKVID_API __attribute__((visibility("default")))
#endif
#else
#define DESKVID_API
#endif

/* The one interface name the library offers. */
#define DESKVID_INTERFACE_NAME "IWMEncDeskVid"

/* Commands for Control. */
#define CAPCMD_START 0
#define CAPCMD_PAUSE 1
#define CAPCMD_STOP 2

/* dwMask bits of CAPTURE_PARAMS: which fields a start applies. Note that
 * 0x04 selects nFps and 0x08 nBitrateKbps. */
#define CAPF_FILE 0x01u
#define CAPF_SHARPNESS 0x02u
#define CAPF_FPS 0x04u
#define CAPF_BITRATE 0x08u
#define CAPF_SIZE 0x10u

/* What a new instance records with until a start sets otherwise: no file
 * name, width and height 0 (the screen's own size), and these. */
#define DESKVID_DEFAULT_SHARPNESS 100
#define DESKVID_DEFAULT_BITRATE_KBPS 468
#define DESKVID_DEFAULT_FPS 20

/* The start command's settings. Fields whose bit is clear in dwMask keep the
 * instance's current values (at first the defaults above).
 * 28 bytes on 32-bit targets. */
typedef struct CAPTURE_PARAMS {
    uint32_t dwMask;
    const DVWCHAR* lpwszFile; /* output file, NUL-terminated UTF-16 */
    uint8_t bySharpness;      /* image sharpness 0-100 */
    int32_t nBitrateKbps;     /* video bit rate in kbit/s */
    int32_t nFps;             /* frames per second */
    int32_t nWidth;           /* output width, 0 = screen's own */
    int32_t nHeight;          /* output height, 0 = screen's own */
} CAPTURE_PARAMS;

#if defined(__cplusplus)

/* A capture instance. The handle that qmCreateInstance returns points at
 * one. Destroy it only through qmDestroyInstance. */
struct IWMEncDeskVid {
    /* Returns a status: negative is failure. pParams is read by
     * CAPCMD_START only and may be null (start with the current settings). */
    virtual int32_t Control(int nCommand, const CAPTURE_PARAMS* pParams) = 0;

protected:
    ~IWMEncDeskVid() = default;
};

#else /* C: an instance is a struct whose first member points at its table. */

typedef struct IWMEncDeskVid IWMEncDeskVid;
typedef struct IWMEncDeskVidVtbl {
    int32_t(DESKVID_THISCALL* Control)(IWMEncDeskVid* This, int nCommand,
                                       const CAPTURE_PARAMS* pParams);
} IWMEncDeskVidVtbl;
struct IWMEncDeskVid {
    const IWMEncDeskVidVtbl* lpVtbl;
};

/* MSVC's C compiler cannot declare thiscall: call Control through a
 * __fastcall pointer with a dummy second argument, or use C++. */

#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Always true; no effect. */
DESKVID_API bool DESKVID_CALL qmInitialize(void);
/* No effect. */
DESKVID_API void DESKVID_CALL qmUninitialize(void);
/* Index 0: copies "IWMEncDeskVid" with its NUL (14 bytes) into pszName and
 * returns true. Any other index, or a null pszName: false, nothing written. */
DESKVID_API bool DESKVID_CALL qmGetInterfaceName(int nIndex, char* pszName);
/* Creates an instance for the exact name "IWMEncDeskVid"; null otherwise. */
DESKVID_API void* DESKVID_CALL qmCreateInstance(const char* pszInterface);
/* Destroys an instance, stopping its recording first when it is started. */
DESKVID_API void DESKVID_CALL qmDestroyInstance(void* lpInterface);

#ifdef __cplusplus
}
#endif

/* Pointer types for hosts that resolve the exports at run time. */
typedef bool(DESKVID_CALL* PFN_qmInitialize)(void);
typedef void(DESKVID_CALL* PFN_qmUninitialize)(void);
typedef bool(DESKVID_CALL* PFN_qmGetInterfaceName)(int nIndex, char* pszName);
typedef void*(DESKVID_CALL* PFN_qmCreateInstance)(const char* pszInterface);
typedef void(DESKVID_CALL* PFN_qmDestroyInstance)(void* lpInterface);

#endif /* DESKVID_DESKVID_H */
