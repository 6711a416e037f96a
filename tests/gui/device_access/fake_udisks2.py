#!/usr/bin/python3
"""A stand-in for the UDisks2 service, on a private bus, serving one "device".

It owns org.freedesktop.UDisks2 and answers what the program asks of the real service:
Manager.ResolveDevice({"path": ...}) gives the block object of the device, the object's
org.freedesktop.UDisks2.Block.Device property is the device path as NUL-terminated bytes, and
Block.OpenDevice(mode, options) hands out a read-only descriptor of the device (--grant) or
fails as the real service does when polkit says no (--refuse). The device is opened once at
start, so the test may take its permissions away afterwards; every call is appended to --log.

  fake_udisks2.py --address BUS --device PATH --log FILE (--grant | --refuse)
"""
import argparse
import os
import sys

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = "org.freedesktop.UDisks2"
MANAGER_PATH = "/org/freedesktop/UDisks2/Manager"
BLOCK_PATH = "/org/freedesktop/UDisks2/block_devices/fake0"
BLOCK = "org.freedesktop.UDisks2.Block"
PROPERTIES = "org.freedesktop.DBus.Properties"


class Failed(dbus.exceptions.DBusException):
    def __init__(self, name, text):
        super().__init__(text, name=name)


def log(args, line):
    with open(args.log, "a") as f:
        f.write(line + "\n")


class Manager(dbus.service.Object):
    def __init__(self, bus, args):
        super().__init__(bus, MANAGER_PATH)
        self.args = args

    @dbus.service.method("org.freedesktop.UDisks2.Manager", in_signature="a{sv}a{sv}", out_signature="ao")
    def ResolveDevice(self, devspec, options):
        path = str(devspec.get("path", ""))
        log(self.args, "ResolveDevice %s" % path)
        if path and os.path.realpath(path) == os.path.realpath(self.args.device):
            return dbus.Array([dbus.ObjectPath(BLOCK_PATH)], signature="o")
        return dbus.Array([], signature="o")


class Block(dbus.service.Object):
    def __init__(self, bus, args, fd):
        super().__init__(bus, BLOCK_PATH)
        self.args = args
        self.fd = fd

    def device_bytes(self):
        return dbus.ByteArray(os.path.realpath(self.args.device).encode() + b"\0")

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == BLOCK and name == "Device":
            return self.device_bytes()
        raise Failed("org.freedesktop.DBus.Error.InvalidArgs", "no property %s.%s" % (interface, name))

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface == BLOCK:
            return {"Device": self.device_bytes()}
        return {}

    @dbus.service.method(BLOCK, in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        interaction = options.get("auth.no_user_interaction", "unset")
        log(self.args, "OpenDevice mode=%s no_user_interaction=%s" % (mode, interaction))
        if self.args.refuse:
            raise Failed("org.freedesktop.UDisks2.Error.NotAuthorized", "Not authorized to perform operation")
        if mode != "r":
            raise Failed("org.freedesktop.UDisks2.Error.Failed", "this test serves its device read-only")
        return dbus.types.UnixFd(self.fd)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", required=True)
    parser.add_argument("--device", required=True)
    parser.add_argument("--log", required=True)
    grant = parser.add_mutually_exclusive_group(required=True)
    grant.add_argument("--grant", action="store_true")
    grant.add_argument("--refuse", action="store_true")
    args = parser.parse_args()

    fd = os.open(args.device, os.O_RDONLY | os.O_CLOEXEC)
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(args.address)
    manager = Manager(bus, args)
    block = Block(bus, args, fd)
    name = dbus.service.BusName(SERVICE, bus, do_not_queue=True)
    print("READY", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main())
