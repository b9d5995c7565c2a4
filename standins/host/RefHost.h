// The reference host: loads a plug-in file and drives it the way Vantrel does. It addresses every
// record by byte offset in its own code and never includes the plug-in's headers, so a wrong
// offset on either side shows up in the tests.
//
// One Host per process at a time (the services it offers carry no host pointer); it may hold many
// actors. Every service slot the plug-in may use is implemented; every other slot is a trap.
#ifndef REFHOST_H
#define REFHOST_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace refhost {

// Byte offsets of the host's records, as the host side defines them.
namespace off {
constexpr size_t kParamsServiceTable = 16;
constexpr size_t kParamsTime = 24;

constexpr size_t kInfoClass = 0, kInfoID = 4, kInfoSubID = 8, kInfoFlags = 12, kInfoDefaultWidth = 16;
constexpr size_t kInfoName = 24, kInfoActorRef = 40, kInfoPluginPath = 80, kInfoPluginPathEnd = 592;
constexpr size_t kInfoActorData = 592;
constexpr size_t kInfoGetParameterString = 624, kInfoGetHelpString = 632, kInfoCreateActor = 640;
constexpr size_t kInfoDisposeActor = 648, kInfoActivateActor = 656, kInfoHandlePropertyChangeValue = 672;
constexpr size_t kInfoPropertyValueToString = 696, kInfoPropertyStringToValue = 704;
constexpr size_t kInfoGetActorDefinedArea = 720, kInfoDrawActorDefinedArea = 728;
constexpr size_t kInfoPropertyGetPopupMenuInfo = 816, kInfoPropertyPopupMenuSelectionToValue = 880;
constexpr size_t kInfoLastSlotEnd = 888;

constexpr size_t kValueType = 0, kValuePayload = 8, kValueSize = 16;
constexpr size_t kHostStringText = 8;

constexpr size_t kImageDescSize = 80;
constexpr size_t kImageWidth = 16, kImageHeight = 20, kImageFourCC = 24, kImagePixels = 32, kImageRowBytes = 40;

constexpr size_t kPictLoaded = 0, kPictWidth = 24, kPictHeight = 26;
} // namespace off

// Value type codes this host uses.
enum : uint16_t { kTypeInteger = 2, kTypeFloat = 3, kTypeNone = 5, kTypeString = 6, kTypeImage = 7 };

constexpr uint32_t kServiceMessage = 0x00001000;
constexpr uint32_t kTeardownMessage = 0x20000000;
constexpr uint8_t kActorRecordCanary = 0xA5;
constexpr size_t kActorRecordSize = 1024;
constexpr uint8_t kKindActor = 0, kKindInput = 1, kKindOutput = 2;

// One line of the property definition text.
struct PropertyDef {
	bool input = true;
	int index = 0; // 1-based within inputs or outputs
	std::string name, id, type, editor, min, max, def;
};
// Parses and validates the text; on failure says why.
bool ParsePropertyText(const char* text, std::vector<PropertyDef>* out, std::string* error);

// A value as the host keeps it: the record the plug-in sees plus a decoded copy.
struct HostValue {
	uint16_t type = kTypeNone;
	int64_t integer = 0;
	double real = 0.0;
	std::string text;
	bool nullPayload = true;
	static HostValue Integer(int64_t v);
	static HostValue Real(double v);
	static HostValue Text(const std::string& v);
	static HostValue None();
};

struct OutputEvent {
	int64_t actorRef;
	uint32_t index;
	HostValue value;
};
struct Alert {
	std::string message, detail;
};
struct Assertion {
	std::string condition, actorName;
	int line;
};
struct ImageUpdate {
	int64_t actorRef;
	int64_t handleIn, handleOut;
	uint8_t desc[80];
	uint32_t width() const;
	uint32_t height() const;
	uint32_t rowBytes() const;
	uint64_t pixelAddress() const;
};
struct Texture {
	uint32_t width = 0, height = 0;
	std::vector<uint8_t> pixels; // width * 4 bytes a row, copied from the plug-in's frame
};

class Host;

// One actor as the host keeps it. Plain data: tests may look inside.
struct Actor {
	struct InputSlot {
		HostValue decoded;
		std::vector<uint8_t> record; // the Value record handed to the plug-in
		std::vector<uint8_t> string; // the host string its payload points to
	};
	int64_t ref = 0;
	std::vector<uint8_t> info; // the ActorInfo record, kActorRecordSize bytes
	std::vector<InputSlot> inputs;
	bool active = false;
	bool disposed = false;

	const HostValue& input(int index) const { return inputs.at(size_t(index - 1)).decoded; }
	uint64_t actorDataPtr() const;
};

struct LoadOptions {
	bool freshCopy = true; // load a private copy of the file, so the plug-in's statics start fresh
	// A host breaking its promise: the record's path is padded with "./" to fill its field to the
	// last byte, with no NUL after it. It still names the plug-in.
	bool pathFillsField = false;
};

class Host {
public:
	Host();
	~Host();
	Host(const Host&) = delete;
	Host& operator=(const Host&) = delete;

	static Host* Current();

	// Loads the plug-in (a bundle folder in the Apple flavour, a DLL on Windows), calls its
	// GetActorInfo on a canary-filled record and reads its property text.
	bool Load(const std::string& pluginPath, std::string* error, LoadOptions options = LoadOptions());
	void Unload(); // disposes remaining actors, then closes the file
	bool loaded() const { return mModule != nullptr; }
	const std::string& pluginPath() const { return mLoadedPath; }
	const std::string& recordPath() const { return mRecordPath; } // as written into the record

	// The record GetActorInfo filled, and the record as the host gave it.
	const std::vector<uint8_t>& infoRecord() const { return mTemplate; }
	const std::vector<uint8_t>& infoRecordBefore() const { return mTemplateBefore; }
	const char* propertyText() const { return mPropertyText; }
	const std::vector<PropertyDef>& properties() const { return mProperties; }
	const PropertyDef* inputDef(int index) const;
	const PropertyDef* outputDef(int index) const;
	int inputCount() const;
	int outputCount() const;

	// Actor lifecycle, as the host drives it.
	Actor* CreateActor();
	void Activate(Actor* actor, bool activate);
	// As Vantrel does, an active actor is deactivated first, unless a test asks for a careless host.
	void DisposeActor(Actor* actor, bool deactivateFirst = true);
	const std::vector<std::unique_ptr<Actor>>& actors() const { return mActors; }

	// Input changes: stored, and delivered at once to an active actor with the flag 0.
	void SetInput(Actor* actor, int index, const HostValue& value);
	// The service message to every active actor whose receiver asked for it.
	void Tick();
	// How long the last Tick's service call to the actor took, in seconds (all of them, should it
	// have several receivers); -1 when it got none.
	double lastServiceSeconds(const Actor* actor) const;
	void SendTeardown(Actor* actor);

	// Other callbacks.
	std::string HelpString(Actor* actor, uint8_t kind, uint16_t index, uint32_t size);
	void HelpStringRaw(Actor* actor, uint8_t kind, uint16_t index, char* buffer, uint32_t size);
	struct Popup {
		std::string text; // as written, up to its NUL
		uint32_t selected = 0;
		bool terminated = false;
		// The entries, each of which the text ends with a carriage return.
		std::vector<std::string> entries() const;
	};
	Popup PopupMenu(Actor* actor, uint8_t kind, uint16_t index, uint32_t size);
	void PopupMenuRaw(Actor* actor, uint8_t kind, uint16_t index, char* buffer, uint32_t size, uint32_t* selected);
	bool PopupSelectionToValue(Actor* actor, uint8_t kind, uint16_t index, int32_t selection, const char* text,
	                           HostValue* out);
	bool ValueToString(Actor* actor, uint8_t kind, uint16_t index, const HostValue& value, std::string* text);
	bool StringToValue(Actor* actor, uint8_t kind, uint16_t index, const char* text, HostValue* out);
	bool ActorDefinedArea(Actor* actor, int16_t out[4]);
	void DrawActorDefinedArea(Actor* actor, uint16_t which, uint8_t flag);

	// Time: milliseconds since the host started (32-bit, wrapping), unless a test sets it.
	void SetManualTime(uint32_t now);
	void AdvanceTime(uint32_t ms);
	uint32_t time() const;

	// What the plug-in did, as recorded by the services. Safe to read from any thread.
	std::vector<Alert> alerts() const;
	std::vector<Assertion> assertions() const;
	std::vector<OutputEvent> outputs() const;
	std::vector<OutputEvent> outputsOf(const Actor* actor, uint32_t index) const;
	std::vector<ImageUpdate> imageUpdates() const;
	// The same, cheaply: how many there are, and those from index `first` on.
	size_t imageUpdateCount() const;
	std::vector<ImageUpdate> imageUpdatesFrom(size_t first) const;
	std::vector<size_t> trapsCalled() const;   // offsets of trap slots the plug-in called
	std::vector<std::string> errors() const;   // misuse of a service: foreign free, bad handle, ...
	bool textureOf(int64_t handle, Texture* out) const;
	size_t liveTextures() const;
	size_t outstandingAllocations() const;
	size_t activeReceivers() const;
	int findStringCalls() const;
	int pictureLoads() const;
	int pictureDraws() const;
	void ClearRecords();

	// Whether UpdateImageBuffer copies the plug-in's pixels into the host's texture (the default,
	// as Vantrel does). Off, the texture keeps only the image's size and the update its
	// description: benchmarks that time the plug-in's own hand-off turn it off.
	void SetCopyPixels(bool copy);

	// Fault injection.
	void FailNextAllocations(int count);
	void FailNextReceiverRegistrations(int count);
	// GetHelpStringIndex answers this position instead of the right one, once.
	void OverrideNextHelpIndex(uint32_t position);

	// The service table as the plug-in sees it (2048 bytes of 8-byte slots).
	void* const* serviceTable() const;

	// For the services (they run on whatever thread the plug-in calls from).
	struct Impl;
	Impl* impl() { return mImpl.get(); }

private:
	void PrepareCall();
	void DeliverInput(Actor* actor, int index, uint8_t flag);

	std::unique_ptr<Impl> mImpl;
	void* mModule = nullptr;
	std::string mLoadedPath, mRecordPath, mCopyFolder;
	std::vector<uint8_t> mTemplate, mTemplateBefore;
	const char* mPropertyText = nullptr;
	std::vector<PropertyDef> mProperties;
	std::vector<std::unique_ptr<Actor>> mActors;
	int64_t mNextActorRef = 0x1000;
};

// A path as the platform's file APIs want it: on Windows a Unix path from the build becomes a
// drive Z: path with backslashes (wine maps Z: to /).
std::string NativePath(const std::string& path);

} // namespace refhost

#endif
