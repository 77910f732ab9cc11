#!/usr/bin/python3
"""A Secret Service stand-in on the session bus, for checking what Vask asks of a keyring.

One collection, the default one, optionally locked and filled from a credentials file in
Vask's own format ({service: {account: base64}}, stored as the schema's items with the base64
text as the secret, as Vask stores them). Unlocking needs a prompt; by default the prompt
never completes (a prompter that never answers): Prompt and Dismiss are answered and nothing
more happens. With --prompt-unlocks the prompt unlocks the collection at once. With
--hide-locked a search finds nothing in the collection while it is locked, as gnome-keyring's
login keyring shows nothing at start until it is unlocked.

Every method call is appended to --log as "Interface.Method" (one a line), so a test can tell
whether anything asked for a prompt. With --store the items are kept in FILE (read at start,
written at each change), so they outlive the daemon as a keyring's file on disk does.

With --control it takes commands on its standard input, one a line, answering each with one
line: "lock" and "unlock" (from outside Vask, no prompt), "type" (the password typed into every
open prompt: they complete and the keyring is unlocked), "restart" (as SIGUSR1), "hang" (it
answers "hanging" and then nothing at all for a minute, as a service that stopped answering), and
"state" ("locked=L open=N shown=N dismissed=N": whether the keyring is locked, its prompts open
now, all it showed and all dismissed). Each change of the keyring's lock is signalled as
gnome-keyring signals it (the collection's PropertiesChanged, the service's CollectionChanged).
Its end of input ends it.

    secret-service-standin.py [--locked] [--hide-locked] [--items FILE] [--log FILE]
                              [--prompt-unlocks] [--store FILE] [--control]

Prints "ready" once it owns org.freedesktop.secrets; serves until SIGTERM. SIGUSR1 restarts it
as a daemon that went and came back would: the name is given up (its prompts go unanswered for
good) and taken again, the default keyring locked as a fresh start leaves it.
"""

import argparse
import base64
import json
import os
import signal
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.freedesktop.secrets"
ROOT = "/org/freedesktop/secrets"
SERVICE_IFACE = "org.freedesktop.Secret.Service"
COLLECTION_IFACE = "org.freedesktop.Secret.Collection"
ITEM_IFACE = "org.freedesktop.Secret.Item"
PROMPT_IFACE = "org.freedesktop.Secret.Prompt"
SESSION_IFACE = "org.freedesktop.Secret.Session"
PROPERTIES_IFACE = "org.freedesktop.DBus.Properties"
SCHEMA = "ai.ternwick.Vask.GenericPassword"
NO_PROMPT = dbus.ObjectPath("/")


class NotSupported(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.DBus.Error.NotSupported"


class IsLocked(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.Secret.Error.IsLocked"


class NoSuchObject(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.Secret.Error.NoSuchObject"


class Recorded(dbus.service.Object):
    """An object whose properties are served from properties() and whose calls are logged."""

    def __init__(self, service, path):
        super().__init__(service.bus_name, path)
        self.service = service
        self.path = dbus.ObjectPath(path)

    def properties(self):
        return {}

    def interface(self):
        return ""

    @dbus.service.method(PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.properties()[name]

    @dbus.service.method(PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.properties() if interface in ("", self.interface()) else {},
                               signature="sv")

    @dbus.service.method(PROPERTIES_IFACE, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        self.service.record(PROPERTIES_IFACE + ".Set")

    @dbus.service.signal(PROPERTIES_IFACE, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Item(Recorded):
    def __init__(self, service, collection, number, attributes, label, secret):
        super().__init__(service, f"{collection.path}/{number}")
        self.collection = collection
        self.attributes = dict(attributes)
        self.label = label
        self.secret = bytes(secret)

    def interface(self):
        return ITEM_IFACE

    def properties(self):
        now = dbus.UInt64(int(time.time()))
        return {
            "Locked": dbus.Boolean(self.collection.locked),
            "Attributes": dbus.Dictionary(self.attributes, signature="ss"),
            "Label": dbus.String(self.label),
            "Created": now,
            "Modified": now,
        }

    def secret_struct(self, session):
        return dbus.Struct((dbus.ObjectPath(session), dbus.ByteArray(b""),
                            dbus.ByteArray(self.secret), dbus.String("text/plain")),
                           signature="oayays")

    @dbus.service.method(ITEM_IFACE, in_signature="", out_signature="o")
    def Delete(self):
        self.service.record(ITEM_IFACE + ".Delete")
        if self.collection.locked:
            raise IsLocked("the collection is locked")
        self.collection.remove(self)
        self.service.save()
        return NO_PROMPT

    @dbus.service.method(ITEM_IFACE, in_signature="o", out_signature="(oayays)")
    def GetSecret(self, session):
        self.service.record(ITEM_IFACE + ".GetSecret")
        if self.collection.locked:
            raise IsLocked("the collection is locked")
        return self.secret_struct(session)

    @dbus.service.method(ITEM_IFACE, in_signature="(oayays)", out_signature="")
    def SetSecret(self, secret):
        self.service.record(ITEM_IFACE + ".SetSecret")
        if self.collection.locked:
            raise IsLocked("the collection is locked")
        self.secret = bytes(secret[2])
        self.service.save()


class Collection(Recorded):
    def __init__(self, service, locked):
        super().__init__(service, ROOT + "/collection/login")
        self._locked = locked
        self.items = []
        self.counter = 0

    @property
    def locked(self):
        return self._locked

    @locked.setter
    def locked(self, value):
        """Each change is told as gnome-keyring tells it: the collection's PropertiesChanged and
        the service's CollectionChanged."""
        if self._locked == value:
            return
        self._locked = value
        self.PropertiesChanged(COLLECTION_IFACE, {"Locked": dbus.Boolean(value)},
                               dbus.Array([], signature="s"))
        self.service.CollectionChanged(self.path)

    def interface(self):
        return COLLECTION_IFACE

    def properties(self):
        now = dbus.UInt64(int(time.time()))
        return {
            "Items": dbus.Array([item.path for item in self.items], signature="o"),
            "Label": dbus.String("Login"),
            "Locked": dbus.Boolean(self.locked),
            "Created": now,
            "Modified": now,
        }

    def add(self, attributes, label, secret):
        self.counter += 1
        item = Item(self.service, self, self.counter, attributes, label, secret)
        self.items.append(item)
        return item

    def remove(self, item):
        self.items.remove(item)
        item.remove_from_connection()

    def visible(self, attributes):
        if self.locked and self.service.hide_locked:
            return []
        return self.matching(attributes)

    def matching(self, attributes):
        return [item for item in self.items
                if all(item.attributes.get(k) == v for k, v in attributes.items())]

    @dbus.service.method(COLLECTION_IFACE, in_signature="a{sv}(oayays)b", out_signature="oo")
    def CreateItem(self, properties, secret, replace):
        self.service.record(COLLECTION_IFACE + ".CreateItem")
        if self.locked:
            raise IsLocked("the collection is locked")
        attributes = dict(properties.get(ITEM_IFACE + ".Attributes", {}))
        label = str(properties.get(ITEM_IFACE + ".Label", ""))
        if replace:
            for existing in self.matching(attributes):
                if existing.attributes == attributes:
                    existing.secret = bytes(secret[2])
                    existing.label = label
                    self.service.save()
                    return existing.path, NO_PROMPT
        item = self.add(attributes, label, bytes(secret[2]))
        self.service.save()
        return item.path, NO_PROMPT

    @dbus.service.method(COLLECTION_IFACE, in_signature="a{ss}", out_signature="ao")
    def SearchItems(self, attributes):
        self.service.record(COLLECTION_IFACE + ".SearchItems")
        return dbus.Array([item.path for item in self.visible(attributes)], signature="o")

    @dbus.service.method(COLLECTION_IFACE, in_signature="", out_signature="o")
    def Delete(self):
        self.service.record(COLLECTION_IFACE + ".Delete")
        raise NotSupported("the stand-in keeps its collection")


class Prompt(Recorded):
    def __init__(self, service, number, objects):
        super().__init__(service, f"{ROOT}/prompt/{number}")
        self.objects = objects

    def interface(self):
        return PROMPT_IFACE

    @dbus.service.method(PROMPT_IFACE, in_signature="s", out_signature="")
    def Prompt(self, window_id):
        self.service.record(PROMPT_IFACE + ".Prompt")
        self.service.shown += 1
        if self.service.prompt_unlocks:
            self.service.collection.locked = False
            GLib.idle_add(self.complete)
        else:
            self.service.open_prompts.append(self)

    def complete(self):
        self.Completed(False, dbus.Array(self.objects, signature="o"))
        return False

    @dbus.service.method(PROMPT_IFACE, in_signature="", out_signature="")
    def Dismiss(self):
        # A prompter that never answers: the dismissal is taken, and nothing completes.
        self.service.record(PROMPT_IFACE + ".Dismiss")
        if self in self.service.open_prompts:
            self.service.open_prompts.remove(self)
            self.service.dismissed += 1

    @dbus.service.signal(PROMPT_IFACE, signature="bv")
    def Completed(self, dismissed, result):
        pass


class Session(Recorded):
    def interface(self):
        return SESSION_IFACE

    @dbus.service.method(SESSION_IFACE, in_signature="", out_signature="")
    def Close(self):
        self.service.record(SESSION_IFACE + ".Close")


class Service(Recorded):
    def __init__(self, bus, log, locked, prompt_unlocks, hide_locked, store=None):
        # A daemon killed just before may own the name until the bus has seen it go.
        deadline = time.monotonic() + 30
        while True:
            try:
                self.bus_name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
                break
            except dbus.exceptions.NameExistsException:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        self.log = log
        self.prompt_unlocks = prompt_unlocks
        self.hide_locked = hide_locked
        self.store = store
        self.sessions = 0
        self.prompts = 0
        # Prompts shown and not yet completed or dismissed; all shown; all dismissed.
        self.open_prompts = []
        self.shown = 0
        self.dismissed = 0
        super().__init__(self, ROOT)
        self.collection = Collection(self, locked)

    def load(self):
        try:
            with open(self.store, encoding="utf-8") as source:
                kept = json.load(source)
        except FileNotFoundError:
            return
        for item in kept:
            self.collection.add(item["attributes"], item["label"],
                                base64.b64decode(item["secret"]))

    def save(self):
        if not self.store:
            return
        kept = [{"attributes": dict(item.attributes), "label": item.label,
                 "secret": base64.b64encode(item.secret).decode()}
                for item in self.collection.items]
        with open(self.store + ".new", "w", encoding="utf-8") as out:
            json.dump(kept, out)
        os.replace(self.store + ".new", self.store)

    def type_password(self):
        """The password typed into every open prompt: each completes, the keyring unlocked."""
        self.collection.locked = False
        for prompt in self.open_prompts:
            prompt.complete()
        self.open_prompts = []

    def record(self, call):
        if self.log:
            with open(self.log, "a", encoding="utf-8") as out:
                out.write(call + "\n")

    def interface(self):
        return SERVICE_IFACE

    def properties(self):
        return {"Collections": dbus.Array([self.collection.path], signature="o")}

    def item(self, path):
        for item in self.collection.items:
            if item.path == path:
                return item
        raise NoSuchObject(path)

    @dbus.service.signal(SERVICE_IFACE, signature="o")
    def CollectionChanged(self, collection):
        pass

    @dbus.service.method(SERVICE_IFACE, in_signature="sv", out_signature="vo")
    def OpenSession(self, algorithm, parameters):
        self.record(SERVICE_IFACE + ".OpenSession")
        if algorithm != "plain":
            raise NotSupported("only plain sessions")
        self.sessions += 1
        session = Session(self, f"{ROOT}/session/{self.sessions}")
        return dbus.String("", variant_level=1), session.path

    @dbus.service.method(SERVICE_IFACE, in_signature="a{ss}", out_signature="aoao")
    def SearchItems(self, attributes):
        self.record(SERVICE_IFACE + ".SearchItems")
        found = dbus.Array([item.path for item in self.collection.visible(attributes)],
                           signature="o")
        empty = dbus.Array([], signature="o")
        return (empty, found) if self.collection.locked else (found, empty)

    @dbus.service.method(SERVICE_IFACE, in_signature="ao", out_signature="aoo")
    def Unlock(self, objects):
        self.record(SERVICE_IFACE + ".Unlock")
        if not self.collection.locked:
            return dbus.Array(objects, signature="o"), NO_PROMPT
        self.prompts += 1
        prompt = Prompt(self, self.prompts, list(objects))
        return dbus.Array([], signature="o"), prompt.path

    @dbus.service.method(SERVICE_IFACE, in_signature="ao", out_signature="aoo")
    def Lock(self, objects):
        self.record(SERVICE_IFACE + ".Lock")
        self.collection.locked = True
        return dbus.Array(objects, signature="o"), NO_PROMPT

    @dbus.service.method(SERVICE_IFACE, in_signature="aoo", out_signature="a{o(oayays)}")
    def GetSecrets(self, items, session):
        self.record(SERVICE_IFACE + ".GetSecrets")
        secrets = {}
        if not self.collection.locked:
            for path in items:
                secrets[path] = self.item(path).secret_struct(session)
        return dbus.Dictionary(secrets, signature="o(oayays)")

    @dbus.service.method(SERVICE_IFACE, in_signature="s", out_signature="o")
    def ReadAlias(self, name):
        self.record(SERVICE_IFACE + ".ReadAlias")
        return self.collection.path if name == "default" else NO_PROMPT

    @dbus.service.method(SERVICE_IFACE, in_signature="a{sv}s", out_signature="oo")
    def CreateCollection(self, properties, alias):
        self.record(SERVICE_IFACE + ".CreateCollection")
        return self.collection.path, NO_PROMPT


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--locked", action="store_true")
    parser.add_argument("--items")
    parser.add_argument("--log")
    parser.add_argument("--prompt-unlocks", action="store_true")
    parser.add_argument("--hide-locked", action="store_true")
    parser.add_argument("--store")
    parser.add_argument("--control", action="store_true")
    args = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    service = Service(dbus.SessionBus(), args.log, args.locked, args.prompt_unlocks,
                      args.hide_locked, args.store)
    if args.store:
        service.load()
    if args.items:
        with open(args.items, encoding="utf-8") as source:
            for name, accounts in json.load(source).items():
                for account, encoded in accounts.items():
                    # Vask keeps each value base64-encoded as the secret's text.
                    base64.b64decode(encoded, validate=True)
                    service.collection.add({"xdg:schema": SCHEMA, "service": name,
                                            "account": account},
                                           f"{name} {account}", encoded.encode())
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)

    def restart():
        service.record("restart")
        bus = dbus.SessionBus()
        bus.release_name(BUS_NAME)
        service.collection.locked = service.collection.locked or args.locked
        # What the daemon that went showed is answered by nobody now.
        service.open_prompts = []
        bus.request_name(BUS_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        return True

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, restart)

    def command(channel, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        word = line.strip()
        if word == "lock":
            service.collection.locked = True
        elif word == "unlock":
            service.collection.locked = False
        elif word == "type":
            service.type_password()
        elif word == "restart":
            restart()
            service.collection.locked = True
        elif word == "hang":
            # A service that stops answering (its prompt left open): nothing is served, nor any
            # command read, for a minute.
            print("hanging", flush=True)
            time.sleep(60)
            return True
        elif word != "state":
            print(f"unknown command {word}", flush=True)
            return True
        print(f"locked={int(service.collection.locked)} open={len(service.open_prompts)} "
              f"shown={service.shown} dismissed={service.dismissed}", flush=True)
        return True

    if args.control:
        GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, command)
    print("ready", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
