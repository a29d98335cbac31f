// The encoder engine as the capture code sees it: the objects of the
// Windows Media Encoder automation model, one abstract class each, with only
// the members that capture uses. Every member returns a status; negative is
// failure. Objects handed out through an out-parameter carry a reference that
// the caller releases. Engines implement these classes and register their
// encoder and profile factories in the runtime's class table.
#pragma once

#include <cstdint>

#include "runtime/Runtime.h"

// Encoder: class and interface.
extern const CLSID CLSID_WMEncoder;
extern const IID IID_IWMEncoder;
// Profile: class, its interface, and the plain profile interface that a
// source group's Profile property takes.
extern const CLSID CLSID_WMEncProfile2;
extern const IID IID_IWMEncProfile2;
extern const IID IID_IWMEncProfile;
// Extended video source (reached from a video source).
extern const IID IID_IWMEncVideoSource2;
// IID_IPropertyBag comes with the platform types (port/).

enum WMENC_SOURCE_TYPE : int32_t {
    WMENC_AUDIO = 1,
    WMENC_VIDEO = 2,
};

// Bit-rate mode of a stream in a profile; 1 is constant bit rate.
enum WMENC_PROFILE_VBR_MODE : int32_t {
    WMENC_PVM_NONE = 1,
};

struct IWMEncSourceGroupCollection;
struct IWMEncSourceGroup;
struct IWMEncSource;
struct IWMEncFile;
struct IWMEncDisplayInfo;
struct IWMEncAudienceObj;

#define WMENC_INTERFACE_DTOR(Name) \
protected:                         \
    ~Name() = default

struct IWMEncoder : IUnknown {
    virtual HRESULT get_SourceGroupCollection(IWMEncSourceGroupCollection** ppCollection) = 0;
    virtual HRESULT get_File(IWMEncFile** ppFile) = 0;
    virtual HRESULT get_DisplayInfo(IWMEncDisplayInfo** ppDisplayInfo) = 0;
    virtual HRESULT PrepareToEncode(VARIANT_BOOL bPrepare) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    WMENC_INTERFACE_DTOR(IWMEncoder);
};

struct IWMEncSourceGroupCollection : IUnknown {
    // Adds a new source group with the given name.
    virtual HRESULT Add(BSTR bstrName, IWMEncSourceGroup** ppGroup) = 0;
    // The active group: the one Add made (it is the only one).
    virtual HRESULT get_Active(IWMEncSourceGroup** ppGroup) = 0;
    WMENC_INTERFACE_DTOR(IWMEncSourceGroupCollection);
};

struct IWMEncSourceGroup : IUnknown {
    virtual HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) = 0;
    // varIndex is a VT_I2 variant holding the source's index.
    virtual HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) = 0;
    virtual HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) = 0;
    // varProfile is a VT_DISPATCH variant holding a plain profile (IWMEncProfile).
    virtual HRESULT put_Profile(VARIANT varProfile) = 0;
    WMENC_INTERFACE_DTOR(IWMEncSourceGroup);
};

struct IWMEncSource : IUnknown {
    virtual HRESULT SetInput(BSTR bstrInput, BSTR bstrScheme, BSTR bstrInitData) = 0;
    WMENC_INTERFACE_DTOR(IWMEncSource);
};

// Reached from a video source with QueryInterface(IID_IWMEncVideoSource2); it
// in turn yields the source's IPropertyBag.
struct IWMEncVideoSource2 : IWMEncSource {
    WMENC_INTERFACE_DTOR(IWMEncVideoSource2);
};

// The plain profile: what a source group's Profile takes. It travels in a
// VT_DISPATCH variant and has no members that capture calls.
struct IWMEncProfile : IDispatch {
    WMENC_INTERFACE_DTOR(IWMEncProfile);
};

struct IWMEncProfile2 : IUnknown {
    virtual HRESULT put_ValidateMode(VARIANT_BOOL bValidate) = 0;
    virtual HRESULT put_ProfileName(BSTR bstrName) = 0;
    virtual HRESULT put_ProfileDescription(BSTR bstrDescription) = 0;
    virtual HRESULT put_ContentType(LONG lContentType) = 0;
    virtual HRESULT put_VBRMode(WMENC_SOURCE_TYPE enumType, LONG lStream,
                                WMENC_PROFILE_VBR_MODE enumMode) = 0;
    virtual HRESULT AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) = 0;
    virtual HRESULT Validate() = 0;
    WMENC_INTERFACE_DTOR(IWMEncProfile2);
};

// Per-stream values of one audience (stream index first, then the value).
struct IWMEncAudienceObj : IUnknown {
    virtual HRESULT put_VideoBitrate(LONG lStream, LONG lBitrate) = 0;
    virtual HRESULT put_VideoHeight(LONG lStream, LONG lHeight) = 0;
    virtual HRESULT put_VideoWidth(LONG lStream, LONG lWidth) = 0;
    virtual HRESULT put_VideoKeyFrameDistance(LONG lStream, LONG lMilliseconds) = 0;
    virtual HRESULT put_VideoFPS(LONG lStream, LONG lFpsTimes1000) = 0;
    virtual HRESULT put_VideoImageSharpness(LONG lStream, LONG lSharpness) = 0;
    WMENC_INTERFACE_DTOR(IWMEncAudienceObj);
};

struct IWMEncFile : IUnknown {
    virtual HRESULT put_LocalFileName(BSTR bstrFileName) = 0;
    WMENC_INTERFACE_DTOR(IWMEncFile);
};

struct IWMEncDisplayInfo : IUnknown {
    virtual HRESULT put_Author(BSTR bstr) = 0;
    virtual HRESULT put_Copyright(BSTR bstr) = 0;
    virtual HRESULT put_Description(BSTR bstr) = 0;
    virtual HRESULT put_Rating(BSTR bstr) = 0;
    virtual HRESULT put_Title(BSTR bstr) = 0;
    WMENC_INTERFACE_DTOR(IWMEncDisplayInfo);
};

#undef WMENC_INTERFACE_DTOR
