// A loadable library that is not a plug-in: it exports a function, but not the entry point.
#ifdef _WIN32
#define EXPORTED extern "C" __declspec(dllexport)
#else
#define EXPORTED extern "C" __attribute__((visibility("default")))
#endif

EXPORTED int GetActorInformation() {
	return 0;
}
