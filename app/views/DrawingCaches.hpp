// Releasing what only drawing needs once the app has nothing on screen.
#pragma once

namespace brisko::app {

// Drops the font engines (their glyph caches, the shaping tables copied out of the fonts and the
// mapped font files) and the cached pixmaps, then hands freed heap pages back to the system. The
// next paint loads what it needs again; safe to call at any time on the main thread.
void releaseDrawingCaches();

}  // namespace brisko::app
