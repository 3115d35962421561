// The SDL program around the frame core: its start-up, its exit statuses and
// its sound. The capture starts up with the same steps.
#pragma once

#include "frame.h"
#include <SDL_mixer.h>


constexpr int quitwait = 500;         // ms that shutting SDL down may take before the process just ends

constexpr int exitvideo = 1;          // exit status: the video mode can't be set, or the display went away
constexpr int exitpicture = 2;        // exit status: the picture can't be loaded or converted
constexpr int exitmemory = 3;         // exit status: no memory for the heat field

extern const char *imf[1];            // the picture files, parallel to ims
extern const char *musf;              // the music file
extern Mix_Chunk *musa;               // the music; null when it could not be loaded

// whether the SDL 1.2 runtime loaded is the one rebuilt on SDL 2 (it calls
// itself 1.2.50 and up), not the classic library (1.2.15)
inline bool sdlcompat()
{
	return SDL_Linked_Version()->patch >= 50;
}

// exit handler (on_exit): shuts SDL down, or ends the process with status
// when that takes longer than quitwait or a signal comes
void paska(int status, void *);
// start-up: SDL, the video mode, audio, the heat field, the picture, the music
void homon();
// allocates the heat field for the screen s, all zero; false without memory
bool homfire();
// reads events until the queue is empty or a quit event comes; true on a quit event
bool quitevent();
