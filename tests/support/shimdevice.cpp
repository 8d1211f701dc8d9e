// A device library with no code of its own: a shim whose dependency, the scripted device library
// it needs beside it (DT_NEEDED libfakedevice.so, found through $ORIGIN), answers every call.
// device-check must see that the file it hashed defines none of the device functions, and name
// the dependency that does.
