/* The relay's control channel between the kernel driver (simbook_relay.sys) and the user-mode
 * device server, both under Wine. C and fixed-width types only: the driver (MinGW, kernel
 * headers), the server (Winelib C++) and the launcher (MinGW C++) all include it.
 *
 * The server opens the control device, claims it with RELAY_IOCTL_SERVE (the number of device
 * interfaces to publish), then loops: RELAY_IOCTL_GET hands it the next client event as a
 * request record, RELAY_IOCTL_PUT gives the driver the answer that completes the client's IRP.
 * Any other opener (the launcher) starts a run with RELAY_IOCTL_BEGIN, whose input is the run's
 * environment (see below) and whose output is the server's answer, and ends it with
 * RELAY_IOCTL_DRAIN: the server answers the drain after every event queued before it (so the
 * program's last close has been seen), with what it wrote to standard error during the run.
 * The server stays up between runs. A program's Wi-Fi library takes its run's step of a fault
 * list with RELAY_IOCTL_STEP: the server, which holds the run's machine file, stores the step
 * as the Linux build's store does.
 * All numbers are little-endian 32-bit words. */
#ifndef SIMBOOK_WINE_RELAY_PROTOCOL_H
#define SIMBOOK_WINE_RELAY_PROTOCOL_H

#include <stdint.h>

/* \\.\SimbookRelay: the control device. */
#define RELAY_CONTROL_NAME L"SimbookRelay"
/* The kernel service of the driver and the root device nodes it drives. */
#define RELAY_SERVICE_NAME L"simbook_relay"
#define RELAY_HARDWARE_ID L"ROOT\\SIMBOOK_RELAY"
/* Device instance IDs ROOT\SYSTEM\0000 ... : one interface each, so the count of published
 * interfaces can follow each run's machine file (0 .. RELAY_MAX_INTERFACES). */
#define RELAY_INSTANCE_FORMAT L"ROOT\\SYSTEM\\%04u"
#define RELAY_MAX_INTERFACES 16u

/* Control codes on the control device: FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, any access. */
#define RELAY_CTL(function) ((0x22u << 16) | ((0x900u + (function)) << 2))
#define RELAY_IOCTL_SERVE RELAY_CTL(0) /* in: uint32 interface count */
#define RELAY_IOCTL_GET RELAY_CTL(1)   /* out: a request record */
#define RELAY_IOCTL_PUT RELAY_CTL(2)   /* in: an answer record */
#define RELAY_IOCTL_DRAIN RELAY_CTL(3) /* completes when the queue before it is answered */
#define RELAY_IOCTL_BEGIN RELAY_CTL(4) /* in: the run's environment; out: the server's answer */
#define RELAY_IOCTL_STEP RELAY_CTL(5)  /* in: which fault list; out: uint32 index taken */

/* BEGIN's input: UTF-16 entries, each ending in a null unit: "NAME=value" for a variable the
 * run has, "NAME" for one it has not (SIMBOOK, SIMBOOK_TRACE, XDG_STATE_HOME, HOME).
 * BEGIN's output: UTF-8 text "<machine file>\n" (empty when there is none).
 * DRAIN's output: UTF-8 text the server wrote to standard error for the run (at most
 * RELAY_DRAIN_ROOM bytes). */
#define RELAY_BEGIN_ROOM 8192u
#define RELAY_DRAIN_ROOM 16384u

/* STEP's input: UTF-8 "<where>\0<key>\0", the JSON pointer of the object that holds the list in
 * the run's machine file and the list's key (today only "/wlan/interfaces/N" and "scan"), at
 * most RELAY_STEP_ROOM bytes. STEP's output: the uint32 index of the value the run takes; the
 * request fails (ERROR_IO_DEVICE) when the step is not stored, and the server tells why on the
 * run's standard error. */
#define RELAY_STEP_ROOM 256u

enum relay_kind {
    RELAY_OPEN = 1,    /* IRP_MJ_CREATE on an interface; answered */
    RELAY_CONTROL = 2, /* IRP_MJ_DEVICE_CONTROL on an open file; answered */
    RELAY_CLOSE = 3,   /* IRP_MJ_CLOSE of an open file; the driver completed it already */
    RELAY_DRAIN = 4,   /* a drain marker; answered */
    RELAY_BEGIN = 5,   /* the start of a run, with its environment; answered */
    RELAY_STEP = 6     /* a program's step of a fault list; answered */
};

/* Request record (GET output): header, then `in_length` input bytes. */
struct relay_request {
    uint32_t kind;
    uint32_t id;        /* echoed by the answer */
    uint32_t file;      /* the driver's number for the client's file object */
    uint32_t iface;     /* OPEN: index of the interface opened */
    uint32_t share;     /* OPEN: the share access the caller asked for (0: exclusive) */
    uint32_t code;      /* CONTROL, BEGIN, DRAIN, STEP: the I/O control code */
    uint32_t in_length; /* bytes that follow: CONTROL's, BEGIN's and STEP's input, OPEN's
                           interface link name (UTF-16, \??\...) */
    uint32_t out_room;  /* CONTROL, BEGIN, DRAIN, STEP: the caller's output buffer length */
};

/* Answer record (PUT input): header, then `out_length` output bytes. */
struct relay_answer {
    uint32_t id;
    uint32_t status; /* the NTSTATUS the client's IRP completes with */
    uint32_t out_length;
    uint32_t reserved;
};

/* Room the server offers for one request record; a client input that does not fit is refused
 * with STATUS_INVALID_PARAMETER. */
#define RELAY_RECORD_ROOM (256u * 1024u)
#define RELAY_MAX_INPUT (RELAY_RECORD_ROOM - (uint32_t)sizeof(struct relay_request))

#endif
