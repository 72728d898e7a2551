// Brisko Desktop's KWin script: tells the app which window is active, and its caption whenever it
// changes, by calling the app's D-Bus service. KWin loads it when the app asks and unloads it when the
// app quits. Plasma 6 names the active window workspace.activeWindow (signal windowActivated), Plasma 5
// workspace.activeClient (signal clientActivated).
const service = "com.brisko.desktop.ActiveWindow";
const path = "/ActiveWindow";
const iface = "com.brisko.desktop.ActiveWindow";

// Plasma 5 hands resourceClass and resourceName over as byte arrays, Plasma 6 as text.
function text(value) {
    if (value === undefined || value === null) return "";
    if (typeof value === "string") return value;
    if (value instanceof ArrayBuffer) {
        const bytes = new Uint8Array(value);
        let out = "";
        for (let i = 0; i < bytes.length; ++i) out += String.fromCharCode(bytes[i]);
        return out;
    }
    return String(value);
}

function report(window) {
    const facts = window ? {
        resourceClass: text(window.resourceClass),
        resourceName: text(window.resourceName),
        caption: text(window.caption),
        pid: Number(window.pid) || 0,
    } : null;
    callDBus(service, path, iface, "Update", JSON.stringify(facts));
}

let watched = null;
function reportWatched() {
    report(watched);
}
function activated(window) {
    try {
        if (watched) watched.captionChanged.disconnect(reportWatched);
    } catch (e) {
        // The window is gone, and its signal with it.
    }
    watched = window || null;
    if (watched) watched.captionChanged.connect(reportWatched);
    report(watched);
}

if (workspace.windowActivated !== undefined) {
    workspace.windowActivated.connect(activated);
    activated(workspace.activeWindow);
} else {
    workspace.clientActivated.connect(activated);
    activated(workspace.activeClient);
}
