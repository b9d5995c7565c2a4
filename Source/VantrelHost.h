// Vantrel's plug-in interface as the plug-in sees it: the context record, the per-actor record,
// values and the host's service table. Every record here crosses the host boundary, so every
// offset the plug-in relies on is pinned with a static_assert.
#ifndef VANTREL_HOST_H
#define VANTREL_HOST_H

#include <cstddef>
#include <cstdint>

struct ActorInfo;
struct VantrelParameters;
struct ImageBufferDesc;

// A property value: a type code and an 8-byte payload.
enum : uint16_t {
	kValueTypeInteger = 2,
	kValueTypeNone = 5, // with a null payload: the empty value that clears the video output
	kValueTypeString = 6,
};

struct Value {
	uint16_t mType;
	uint8_t mReserved[6];
	union {
		int64_t mInt;
		double mFloat;
		void* mPointer; // for strings: a host string whose text starts 8 bytes in
	} mPayload;
};
static_assert(sizeof(Value) == 16, "Value is 16 bytes");
static_assert(offsetof(Value, mType) == 0, "Value type at 0");
static_assert(offsetof(Value, mPayload) == 8, "Value payload at 8");

// Offset of the text inside a host string.
constexpr size_t kHostStringTextOffset = 8;

// Message codes of the message receiver.
constexpr uint32_t kServiceMessage = 0x00001000;
constexpr uint32_t kTeardownMessage = 0x20000000;

// Property kinds.
constexpr uint8_t kPropertyKindActor = 0;
constexpr uint8_t kPropertyKindInput = 1;

struct HostRect {
	int16_t mTop, mLeft, mBottom, mRight;
};

typedef void (*MessageReceiverProc)(VantrelParameters* ipParams, uint32_t inMessage, uint16_t inSubCode,
                                    void* inData, uint32_t inLength, void* inRefCon);

// The service table. Arguments the host documents as 0 are passed as full 64-bit zeros so that no
// host reading a wider slot sees stale register bits.
struct HostCallbackInfo {
	void (*ShowAlert)(const char* inMessage, const char* inDetail);                                 // 0
	int64_t (*RegisterMessageReceiver)(MessageReceiverProc inProc, int64_t inZero, uint32_t inMask,
	                                   ActorInfo* inInfo, int64_t inZero2, void* inRefCon);         // 8
	void (*UnregisterMessageReceiver)(int64_t inHandle);                                           // 16
	void* mUnused24[3];
	Value* (*GetInputPropertyValue)(int64_t inActorRef, uint32_t inIndex);                          // 48
	void (*SetOutputPropertyValue)(int64_t inActorRef, uint32_t inIndex, const Value* inValue);     // 56
	void* mUnused64[15];
	uint32_t (*GetHelpStringIndex)(int64_t inActorRef, uint8_t inKind, uint16_t inIndex);           // 184
	void* mUnused192[11];
	void* (*AllocateMemory)(uint64_t inByteCount, uint8_t inFlag);                                  // 280
	void (*FreeMemory)(void* inPtr);                                                                // 288
	int32_t (*FindStringInList)(int32_t inCount, const char* const* inList, const char* inText);    // 296
	void* mUnused304[6];
	void (*ReportAssertion)(const char* inCondition, const char* inActorName, int32_t inLine);      // 352
	void (*LoadActorPicture)(ActorInfo* inInfo, int64_t inZero, void* ioPictInfo);                  // 360
	void (*DrawActorPicture)(ActorInfo* inInfo, uint8_t inFlag, const HostRect* inRect, void* ioPictInfo); // 368
	void* mUnused376[51];
	void (*PopupStringToValue)(const char* inText, Value* outValue);                                // 784
	void* mUnused792[119];
	void (*ReleaseImageBuffer)(int64_t inActorRef, int64_t inHandle);                               // 1744
	int64_t (*UpdateImageBuffer)(int64_t inActorRef, int64_t inHandle, uint8_t inTwo, uint32_t inZero,
	                             const ImageBufferDesc* inDesc, const void* inNull, int64_t inZero2,
	                             int64_t inZero3, Value* outValue);                                 // 1752
};
static_assert(offsetof(HostCallbackInfo, ShowAlert) == 0, "service table");
static_assert(offsetof(HostCallbackInfo, RegisterMessageReceiver) == 8, "service table");
static_assert(offsetof(HostCallbackInfo, UnregisterMessageReceiver) == 16, "service table");
static_assert(offsetof(HostCallbackInfo, GetInputPropertyValue) == 48, "service table");
static_assert(offsetof(HostCallbackInfo, SetOutputPropertyValue) == 56, "service table");
static_assert(offsetof(HostCallbackInfo, GetHelpStringIndex) == 184, "service table");
static_assert(offsetof(HostCallbackInfo, AllocateMemory) == 280, "service table");
static_assert(offsetof(HostCallbackInfo, FreeMemory) == 288, "service table");
static_assert(offsetof(HostCallbackInfo, FindStringInList) == 296, "service table");
static_assert(offsetof(HostCallbackInfo, ReportAssertion) == 352, "service table");
static_assert(offsetof(HostCallbackInfo, LoadActorPicture) == 360, "service table");
static_assert(offsetof(HostCallbackInfo, DrawActorPicture) == 368, "service table");
static_assert(offsetof(HostCallbackInfo, PopupStringToValue) == 784, "service table");
static_assert(offsetof(HostCallbackInfo, ReleaseImageBuffer) == 1744, "service table");
static_assert(offsetof(HostCallbackInfo, UpdateImageBuffer) == 1752, "service table");

struct VantrelParameters {
	uint8_t mReserved0[16];
	HostCallbackInfo* mCallbacks; // 16
	uint32_t mTime;               // 24: the host's time counter
};
static_assert(offsetof(VantrelParameters, mCallbacks) == 16, "VantrelParameters");
static_assert(offsetof(VantrelParameters, mTime) == 24, "VantrelParameters");

struct ActorData;

// The image handed to UpdateImageBuffer: the frame's own pixels, described in place.
struct ImageBufferDesc {
	uint32_t mTag;          // 0: 'imgb'
	uint8_t mVersion;       // 4: 1
	uint8_t mPad5[3];
	uint32_t mFrameCounter; // 8: one more per delivered frame
	uint32_t mHeaderSize;   // 12: 32
	uint32_t mWidth;        // 16
	uint32_t mHeight;       // 20
	uint32_t mPixelFormat;  // 24: 'BGRA'
	uint32_t mReserved28;
	const void* mPixels;    // 32: the frame's first pixel row
	uint32_t mRowBytes;     // 40
	uint8_t mReserved44[20];
	uint32_t mReserved64;
	uint8_t mFlag68;        // 68: 1
	uint8_t mPad69[3];
	uint32_t mMagic;        // 72: 0x12345678
	uint8_t mFlag76;        // 76: 1
	uint8_t mPad77[3];
};
static_assert(sizeof(ImageBufferDesc) == 80, "ImageBufferDesc is 80 bytes");
static_assert(offsetof(ImageBufferDesc, mVersion) == 4, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mFrameCounter) == 8, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mHeaderSize) == 12, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mWidth) == 16, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mHeight) == 20, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mPixelFormat) == 24, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mPixels) == 32, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mRowBytes) == 40, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mReserved64) == 64, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mFlag68) == 68, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mMagic) == 72, "ImageBufferDesc");
static_assert(offsetof(ImageBufferDesc, mFlag76) == 76, "ImageBufferDesc");

// The actor's callbacks, as registered in ActorInfo. "bool" results are one byte.
typedef const char* (*GetParameterStringProc)(VantrelParameters*, ActorInfo*);
typedef void (*GetHelpStringProc)(VantrelParameters*, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                                  char* outBuffer, uint32_t inSize);
typedef void (*CreateDisposeActorProc)(VantrelParameters*, ActorInfo*);
typedef void (*ActivateActorProc)(VantrelParameters*, ActorInfo*, uint8_t inActivate);
typedef void (*HandlePropertyChangeValueProc)(VantrelParameters*, ActorInfo*, uint16_t inIndex,
                                              const Value* inOldValue, const Value* inNewValue, uint8_t inFlag);
typedef uint8_t (*PropertyValueToStringProc)(VantrelParameters*, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                                             const Value* inValue, char* outText);
typedef uint8_t (*PropertyStringToValueProc)(VantrelParameters*, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                                             const char* inText, Value* outValue);
typedef uint8_t (*GetActorDefinedAreaProc)(VantrelParameters*, ActorInfo*, int16_t* outWidth, int16_t* outHeight,
                                           int16_t* outThird, int16_t* outFourth);
typedef void (*DrawActorDefinedAreaProc)(VantrelParameters*, ActorInfo*, void* inContext, uint16_t inWhich,
                                         uint16_t inUnused, const HostRect* inArea, const HostRect* inOther,
                                         uint8_t inFlag);
typedef void (*PropertyGetPopupMenuInfoProc)(VantrelParameters*, ActorInfo*, uint8_t inKind, uint16_t inIndex,
                                             char* outBuffer, uint32_t inSize, uint32_t* outSelected);
typedef uint8_t (*PropertyPopupMenuSelectionToValueProc)(VantrelParameters*, ActorInfo*, uint8_t inKind,
                                                         uint16_t inIndex, int32_t inSelection, const char* inText,
                                                         Value* outValue);

struct ActorInfo {
	uint32_t mClass;        // 0
	uint32_t mID;           // 4
	uint32_t mSubID;        // 8
	uint32_t mFlags;        // 12
	uint32_t mDefaultWidth; // 16
	uint32_t mUntouched20;  // 20: the host's; never written by the plug-in
	const char* mName;      // 24
	uint8_t mReserved32[8];
	int64_t mActorRef;      // 40: the reference most services take first
	uint8_t mReserved48[32];
	char mPluginPath[512];  // 80: inline, NUL-terminated
	ActorData* mActorDataPtr; // 592
	uint8_t mReserved600[24];
	GetParameterStringProc mGetParameterString;                 // 624
	GetHelpStringProc mGetHelpString;                           // 632
	CreateDisposeActorProc mCreateActor;                        // 640
	CreateDisposeActorProc mDisposeActor;                       // 648
	ActivateActorProc mActivateActor;                           // 656
	void* mSlot664;                                             // 664: not written
	HandlePropertyChangeValueProc mHandlePropertyChangeValue;   // 672
	void* mSlot680;                                             // 680: null
	void* mSlot688;                                             // 688: null
	PropertyValueToStringProc mPropertyValueToString;           // 696
	PropertyStringToValueProc mPropertyStringToValue;           // 704
	void* mSlot712;                                             // 712: not written
	GetActorDefinedAreaProc mGetActorDefinedArea;               // 720
	DrawActorDefinedAreaProc mDrawActorDefinedArea;             // 728
	void* mSlot736;                                             // 736: null
	void* mSlots744[9];                                         // 744 to 808: not written
	PropertyGetPopupMenuInfoProc mPropertyGetPopupMenuInfo;     // 816
	void* mSlots824[7];                                         // 824 to 872: not written
	PropertyPopupMenuSelectionToValueProc mPropertyPopupMenuSelectionToValue; // 880
};
static_assert(offsetof(ActorInfo, mClass) == 0, "ActorInfo");
static_assert(offsetof(ActorInfo, mID) == 4, "ActorInfo");
static_assert(offsetof(ActorInfo, mSubID) == 8, "ActorInfo");
static_assert(offsetof(ActorInfo, mFlags) == 12, "ActorInfo");
static_assert(offsetof(ActorInfo, mDefaultWidth) == 16, "ActorInfo");
static_assert(offsetof(ActorInfo, mName) == 24, "ActorInfo");
static_assert(offsetof(ActorInfo, mActorRef) == 40, "ActorInfo");
static_assert(offsetof(ActorInfo, mPluginPath) == 80, "ActorInfo");
static_assert(offsetof(ActorInfo, mActorDataPtr) == 592, "ActorInfo");
static_assert(offsetof(ActorInfo, mGetParameterString) == 624, "ActorInfo");
static_assert(offsetof(ActorInfo, mGetHelpString) == 632, "ActorInfo");
static_assert(offsetof(ActorInfo, mCreateActor) == 640, "ActorInfo");
static_assert(offsetof(ActorInfo, mDisposeActor) == 648, "ActorInfo");
static_assert(offsetof(ActorInfo, mActivateActor) == 656, "ActorInfo");
static_assert(offsetof(ActorInfo, mHandlePropertyChangeValue) == 672, "ActorInfo");
static_assert(offsetof(ActorInfo, mSlot680) == 680, "ActorInfo");
static_assert(offsetof(ActorInfo, mSlot688) == 688, "ActorInfo");
static_assert(offsetof(ActorInfo, mPropertyValueToString) == 696, "ActorInfo");
static_assert(offsetof(ActorInfo, mPropertyStringToValue) == 704, "ActorInfo");
static_assert(offsetof(ActorInfo, mGetActorDefinedArea) == 720, "ActorInfo");
static_assert(offsetof(ActorInfo, mDrawActorDefinedArea) == 728, "ActorInfo");
static_assert(offsetof(ActorInfo, mSlot736) == 736, "ActorInfo");
static_assert(offsetof(ActorInfo, mPropertyGetPopupMenuInfo) == 816, "ActorInfo");
static_assert(offsetof(ActorInfo, mPropertyPopupMenuSelectionToValue) == 880, "ActorInfo");
static_assert(sizeof(ActorInfo) == 888, "ActorInfo reaches to the last callback slot");

// The per-actor record's size is the host's business; the plug-in only ever touches the fields above.
constexpr size_t kActorPluginPathSize = sizeof(ActorInfo::mPluginPath);

#endif
