// The focused window's WM class, title and process id, served on the session bus to Brisko Desktop,
// with a signal each time the focus moves or the focused window's class or title changes.
const FOCUSED_WINDOW_PATH = '/com/brisko/desktop/FocusedWindow';
const FOCUSED_WINDOW_IFACE = `
<node>
  <interface name="com.brisko.desktop.FocusedWindow">
    <method name="GetFocusedWindow">
      <arg type="a{sv}" direction="out" name="window"/>
    </method>
    <signal name="FocusedWindowChanged">
      <arg type="a{sv}" name="window"/>
    </signal>
  </interface>
</node>`;

class FocusedWindowPublisher {
    enable() {
        this._window = null;
        this._windowSignals = [];
        this._dbus = Gio.DBusExportedObject.wrapJSObject(FOCUSED_WINDOW_IFACE, this);
        this._dbus.export(Gio.DBus.session, FOCUSED_WINDOW_PATH);
        this._focusSignal = global.display.connect('notify::focus-window', () => this._follow());
        this._follow();
    }

    disable() {
        global.display.disconnect(this._focusSignal);
        this._unfollow();
        this._dbus.unexport();
        this._dbus = null;
    }

    // The D-Bus method: the focused window now; an empty dictionary when no window has the focus.
    GetFocusedWindow() {
        return this._describe(global.display.focus_window);
    }

    _follow() {
        this._unfollow();
        const window = global.display.focus_window;
        if (window) {
            this._window = window;
            this._windowSignals = ['notify::title', 'notify::wm-class'].map(
                name => window.connect(name, () => this._publish()));
        }
        this._publish();
    }

    _unfollow() {
        for (const id of this._windowSignals)
            this._window.disconnect(id);
        this._window = null;
        this._windowSignals = [];
    }

    _publish() {
        if (this._dbus)
            this._dbus.emit_signal('FocusedWindowChanged',
                new GLib.Variant('(a{sv})', [this._describe(this._window)]));
    }

    // Keys are left out when the window does not say: no class, no title, no known process.
    _describe(window) {
        const out = {};
        if (!window)
            return out;
        const text = (key, value) => {
            if (typeof value === 'string' && value.length > 0)
                out[key] = new GLib.Variant('s', value);
        };
        text('wmClass', window.get_wm_class());
        text('wmClassInstance', window.get_wm_class_instance());
        text('title', window.get_title());
        const pid = window.get_pid();
        if (pid > 0)
            out.pid = new GLib.Variant('x', pid);
        return out;
    }
}
