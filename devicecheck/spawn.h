// Starts another program with exec, the only way device-check starts one: a fresh process image
// with a stated argument list, a stated environment and stated descriptors, nothing else of this
// process's. The child between fork and exec makes system calls only.
#ifndef SPAWN_H
#define SPAWN_H

#include <QByteArrayList>
#include <QString>
#include <QVector>

#include <sys/types.h>

struct SpawnRequest {
    QByteArrayList arguments;   // the program's path first
    QByteArrayList environment; // "NAME=value" each
    // descriptors[i] becomes descriptor i of the program; every other one is closed.
    QVector<int> descriptors;
    QByteArray workingDirectory = "/";
};

// Starts the program in a session of its own, with every signal's default action and none
// blocked. Its pid, or -1 with the reason in error ("<program>: <what failed>").
pid_t spawnProgram(const SpawnRequest& request, QString* error);

#endif
