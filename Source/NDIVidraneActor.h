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

// The NDI runtime's version number: the last blank-separated word of its version text, or the
// empty text when the text has no blank. Points into the runtime's own text.
const char* GetNDIVersionString();

#endif
