// The plug-in's own code, as a file the host loaded.
#ifndef PLUGIN_CODE_H
#define PLUGIN_CODE_H

// Keeps the file that holds the plug-in's code mapped until the process ends, whatever the host
// unloads: only for a thread of the plug-in's that is held in a call that may never return, so
// that its return does not land in unmapped code. False when the system would not do it.
bool KeepPluginCodeMapped();

#endif
