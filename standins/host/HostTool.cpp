// vidrane-host: drives a plug-in file the way Vantrel would, from the command line.
//   vidrane-host PLUGIN info     the actor's identity, its inputs and outputs, and its help texts
#include "RefHost.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string FourCC(uint32_t code) {
	std::string text;
	for (int shift = 24; shift >= 0; shift -= 8) {
		char c = char((code >> shift) & 0xFF);
		text += (c >= 0x20 && c < 0x7F) ? c : '?';
	}
	return text;
}

uint32_t ReadU32(const std::vector<uint8_t>& record, size_t offset) {
	uint32_t v;
	memcpy(&v, record.data() + offset, sizeof(v));
	return v;
}

int Usage(FILE* to) {
	fprintf(to,
	        "usage: vidrane-host PLUGIN VERB\n"
	        "  PLUGIN  the plug-in: the .bundle folder (Apple flavour) or the .dll (Windows)\n"
	        "verbs:\n"
	        "  info    print the actor's identity, its inputs and outputs, and its help texts\n"
	        "The host numbers help texts as Vantrel does: the actor (kind 0) 0, inputs (kind 1) 1 to 4,\n"
	        "outputs (kind 2) 5 to 7.\n");
	return to == stdout ? 0 : 2;
}

int Info(refhost::Host& host) {
	const auto& record = host.infoRecord();
	const char* name = nullptr;
	memcpy(&name, record.data() + refhost::off::kInfoName, sizeof(name));
	printf("actor:    %s\n", name ? name : "(none)");
	printf("class:    '%s'  id: '%s'  sub-id: '%s'  flags: 0x%08X  width: %u\n",
	       FourCC(ReadU32(record, refhost::off::kInfoClass)).c_str(), FourCC(ReadU32(record, refhost::off::kInfoID)).c_str(),
	       FourCC(ReadU32(record, refhost::off::kInfoSubID)).c_str(), ReadU32(record, refhost::off::kInfoFlags),
	       ReadU32(record, refhost::off::kInfoDefaultWidth));
	printf("plug-in:  %s\n\n", host.pluginPath().c_str());
	printf("%-4s %-3s %-12s %-5s %-7s %-11s %-4s %-4s %s\n", "dir", "#", "name", "id", "type", "editor", "min", "max",
	       "default");
	for (const auto& p : host.properties())
		printf("%-4s %-3d %-12s %-5s %-7s %-11s %-4s %-4s \"%s\"\n", p.input ? "in" : "out", p.index, p.name.c_str(),
		       p.id.c_str(), p.type.c_str(), p.editor.c_str(), p.min.c_str(), p.max.c_str(), p.def.c_str());
	printf("\nhelp:\n");
	printf("  actor: %s\n", host.HelpString(nullptr, refhost::kKindActor, 0, 4096).c_str());
	for (const auto& p : host.properties())
		printf("  %s: %s\n", p.name.c_str(),
		       host.HelpString(nullptr, p.input ? refhost::kKindInput : refhost::kKindOutput, uint16_t(p.index), 4096)
		           .c_str());
	return 0;
}

} // namespace

int main(int argc, char** argv) {
	if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")))
		return Usage(stdout);
	if (argc < 3)
		return Usage(stderr);
	std::string verb = argv[2];
	if (verb != "info") {
		fprintf(stderr, "vidrane-host: unknown verb '%s'\n", verb.c_str());
		return Usage(stderr);
	}
	refhost::Host host;
	std::string error;
	if (!host.Load(argv[1], &error, refhost::LoadOptions{false})) {
		fprintf(stderr, "vidrane-host: %s\n", error.c_str());
		return 1;
	}
	int status = Info(host);
	for (const auto& a : host.alerts())
		printf("alert: %s / %s\n", a.message.c_str(), a.detail.c_str());
	for (const auto& a : host.assertions())
		printf("assertion: %s (%s, line %d)\n", a.condition.c_str(), a.actorName.c_str(), a.line);
	for (const auto& t : host.trapsCalled())
		printf("trap: the plug-in called undefined service slot %zu\n", t);
	return status;
}
