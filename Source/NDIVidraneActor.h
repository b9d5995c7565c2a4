// The "NDI 4 Vidrane BETA" actor: its identity, property table, help texts and host callbacks.
#ifndef NDI_VIDRANE_ACTOR_H
#define NDI_VIDRANE_ACTOR_H

#include "VantrelHost.h"

#ifdef _WIN32
#define VIDRANE_EXPORT extern "C" __declspec(dllexport)
#else
#define VIDRANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

extern const char kActorName[];

// The plug-in's one export: describes the actor and registers its callbacks.
VIDRANE_EXPORT void GetActorInfo(void* inIgnored, ActorInfo* outActorInfo);

const char* GetParameterString(VantrelParameters* ipParams, ActorInfo* ipActorInfo);
void GetHelpString(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind, uint16_t inIndex,
                   char* outBuffer, uint32_t inSize);

// Host callbacks registered by GetActorInfo and ActivateActor.
void CreateActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo);
void DisposeActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo);
void ActivateActor(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inActivate);
void HandlePropertyChangeValue(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint16_t inIndex,
                               const Value* inOldValue, const Value* inNewValue, uint8_t inFlag);
void ReceiveMessage(VantrelParameters* ipParams, uint32_t inMessage, uint16_t inSubCode, void* inData,
                    uint32_t inLength, void* inRefCon);
void PropertyGetPopupMenuInfo(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind, uint16_t inIndex,
                              char* outBuffer, uint32_t inSize, uint32_t* outSelected);
uint8_t PropertyPopupMenuSelectionToValue(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind,
                                          uint16_t inIndex, int32_t inSelection, const char* inText, Value* outValue);
uint8_t PropertyValueToString(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind, uint16_t inIndex,
                              const Value* inValue, char* outText);
uint8_t PropertyStringToValue(VantrelParameters* ipParams, ActorInfo* ipActorInfo, uint8_t inKind, uint16_t inIndex,
                              const char* inText, Value* outValue);
uint8_t GetActorDefinedArea(VantrelParameters* ipParams, ActorInfo* ipActorInfo, int16_t* outWidth,
                            int16_t* outHeight, int16_t* outThird, int16_t* outFourth);
void DrawActorDefinedArea(VantrelParameters* ipParams, ActorInfo* ipActorInfo, void* inContext, uint16_t inWhich,
                          uint16_t inUnused, const HostRect* inArea, const HostRect* inOther, uint8_t inFlag);

// Video output and the input subscription (host's thread only).
class NDIFrame;
void NDIInputCallback(void* inUserData, NDIFrame* inFrame);
void SetColorBufferOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo, Value* inValue);
void InvalidateColorBufferOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo);
void TearDownVideoOutput(VantrelParameters* ipParams, ActorInfo* ipActorInfo);
void ReleaseInputClient(VantrelParameters* ipParams, ActorInfo* ipActorInfo);

// The major version of a runtime version number text such as "5.6.0"; 0 when unusable or below 3.
int32_t GetNDIMajorVersionFromVersionString(const char* inText);

// The NDI runtime's version number: the last blank-separated word of its version text, or the
// empty text when the text has no blank. Points into the runtime's own text.
const char* GetNDIVersionString();

#endif
