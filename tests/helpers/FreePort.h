// FreePort.h - a TCP port on 127.0.0.1 that nobody listens on right now.
#ifndef FREEPORT_H
#define FREEPORT_H

int freePort();

#endif
