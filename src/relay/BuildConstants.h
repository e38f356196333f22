// The constants that tell the two deliverables apart. TOVIK_INSTRUMENT=1
// builds the instrument (TovikI); the effect (Tovik) is the default.
#pragma once

#include "frame/VstAbi.h"

#ifndef TOVIK_INSTRUMENT
#define TOVIK_INSTRUMENT 0
#endif

namespace build {

constexpr bool kInstrument = TOVIK_INSTRUMENT != 0;

constexpr const char* kEffectName = kInstrument ? "Tovik VSTi" : "Tovik";
constexpr const char* kProductString = kInstrument ? "Orlimb: Tovik VSTi" : "Orlimb: Tovik";
constexpr const char* kVendorString = "Kestrane";
constexpr VstInt32 kVendorVersion = 1008;
constexpr const char* kStoreKey = kInstrument ? "Software\\Kestrane\\TovikI" : "Software\\Kestrane\\Tovik";
constexpr VstInt32 kUniqueId = kInstrument ? FourCC('T', 'o', 'v', 'I') : FourCC('T', 'o', 'v', 'k');

// Capabilities answered with 1; everything else is answered with -1.
constexpr const char* kCapabilities[] = {
    "sendVstEvents",       "receiveVstEvents",      "sendVstMidiEvent",    "receiveVstMidiEvent",
    "receiveVstTimeInfo",  "conformsToWindowRules", "plugAsChannelInsert", "plugAsSend",
};
constexpr int kCapabilityCount = kInstrument ? 6 : 8;  // the instrument is no insert and no send

}  // namespace build
