// Releasing what only drawing needs: Qt's font engines and pixmap cache, then the freed heap.
#include "app/views/DrawingCaches.hpp"

#include <QPixmapCache>

#if BRISKO_HAVE_QT_FONT_CACHE
#include <QtGui/private/qfont_p.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace brisko::app {

void releaseDrawingCaches() {
#if BRISKO_HAVE_QT_FONT_CACHE
    // Qt keeps every font engine it made for the life of the process. A CJK face's engine holds
    // megabytes: the touched pages of the mapped font file and HarfBuzz's copies of its tables.
    // Dropping this thread's cache releases them; a font held by a widget notices that its engines
    // came from a cache that is gone and loads them into the new one on its next paint. (Merely
    // clearing the cache would work once: those fonts would then keep their reloaded engines to
    // themselves, out of the cache's reach.)
    QFontCache::cleanup();
#endif
    QPixmapCache::clear();
#if defined(__GLIBC__)
    // Freed blocks stay in malloc's arenas otherwise; idle is the moment to give them back.
    ::malloc_trim(0);
#endif
}

}  // namespace brisko::app
