// Music output: the small audio-library interface the timeline plays its track through.
//
// A stream is decoded whole into memory with libsndfile when it is created and converted to the device format
// (16-bit stereo at the rate given to BASS_Init); SDL2 mixes the playing streams on its own audio thread. Positions
// are bytes of that format (4 bytes per frame) and follow what the device has consumed. Without a usable output
// device (CI, a virtual display, no sound card) the layer falls back to SDL's "dummy" driver, which consumes samples
// in real time, so positions still advance with the wall clock.
//
// Every call is made from the main thread. Streams live until the process ends.
#pragma once

#include <cstdint>

using HSTREAM = uint32_t; // stream handle; 0 = none
using QWORD = uint64_t;

// Position mode: bytes of the decoded stream (the only mode there is).
constexpr uint32_t BASS_POS_BYTE = 0;
// Decode up front for exact positions. Streams are always decoded whole, so the flag changes nothing.
constexpr uint32_t BASS_STREAM_PRESCAN = 0x20000;

// Opens the output. device -1 is the default output device; freq is the output rate (8,000 to 192,000 Hz). flags,
// window and classId are accepted and ignored. Non-zero on success; a second call while open succeeds and keeps
// the device as it is.
bool BASS_Init(int device, uint32_t freq, uint32_t flags, void* window, const void* classId);

// Decodes a whole file (any format libsndfile reads; other rates and channel counts are converted). Only files on
// disk (fromMemory false) with offset 0 and length 0 (the whole file) are supported. 0 after a log line when the
// output is not initialised or the file is missing or undecodable.
HSTREAM BASS_StreamCreateFile(bool fromMemory, const char* file, QWORD offset, QWORD length, uint32_t flags);

// Makes sure the output runs.
bool BASS_Start();

// Playback continues from the current position, or from the start when restart is set.
bool BASS_ChannelPlay(HSTREAM handle, bool restart);
// Playback stops at the current position.
bool BASS_ChannelPause(HSTREAM handle);

// The playback position in bytes (mode BASS_POS_BYTE). 0 for handle 0 or any unknown handle, without a log line:
// the frame clock asks every frame, also when no music could be opened.
QWORD BASS_ChannelGetPosition(HSTREAM handle, uint32_t mode);
// Moves playback to a byte position (rounded down to a whole frame). False after a log line for an unknown handle,
// another mode or a position past the end.
bool BASS_ChannelSetPosition(HSTREAM handle, QWORD position, uint32_t mode);

// Byte positions and seconds of a stream; 0 for an unknown handle. Seconds2Bytes rounds to the nearest frame and
// answers 0 for negative or non-finite seconds.
double BASS_ChannelBytes2Seconds(HSTREAM handle, QWORD position);
QWORD BASS_ChannelSeconds2Bytes(HSTREAM handle, double seconds);
