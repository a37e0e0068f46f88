/* simbook_relay.sys: the system-management driver's device under Wine, as a relay.
 *
 * A root-enumerated PnP driver: each of its device nodes (ROOT\SYSTEM\NNNN) gets a function
 * device with one interface of the driver's class. It holds no model of its own: every open,
 * I/O control and close on an interface is queued as an event for the user-mode device server,
 * which keeps a GET pending on the control device \\.\SimbookRelay (inverted call). The
 * server's PUT carries the answer that completes the client's IRP.
 *
 * Only ntoskrnl is imported (a driver that imports kernel32 is never started under Wine).
 * Without a server no interface is enabled and every open fails with STATUS_DEVICE_NOT_READY;
 * a client IRP that is cancelled (its thread or process ends) leaves the queue at once; when
 * the server goes, every IRP it owed an answer fails the same way and the interfaces go. */
#include <ntddk.h>

#include "relay_protocol.h"

static const GUID kInterfaceClass = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

#define RELAY_TAG 0x6c52626bu /* 'kbRl' */

typedef struct {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    UNICODE_STRING link; /* the interface's symbolic link name */
    ULONG index;         /* in AddDevice order */
    BOOLEAN enabled;
} FUNCTION_EXT;

/* One event for the server. Client IRPs stay pending, with a cancel routine, until answered. */
typedef struct {
    LIST_ENTRY link;
    ULONG kind;
    ULONG id;
    ULONG file;
    ULONG iface;
    PIRP irp; /* NULL for a close */
} EVENT;

static PDEVICE_OBJECT g_control;
static FUNCTION_EXT* g_functions[RELAY_MAX_INTERFACES];
static ULONG g_function_count;
static ULONG g_published; /* interfaces the server asked for; nodes added later follow it */

static KSPIN_LOCK g_lock;     /* guards everything below */
static PFILE_OBJECT g_server; /* the control file that sent SERVE; NULL: no server */
static PIRP g_get;            /* the server's pending GET */
static LIST_ENTRY g_queue;    /* events not yet handed to the server */
static LIST_ENTRY g_handed;   /* events handed over, waiting for the answer */
static ULONG g_next_id = 1;
static ULONG g_next_file = 1;

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static EVENT* find_irp(PLIST_ENTRY list, PIRP irp) {
    PLIST_ENTRY e;
    for (e = list->Flink; e != list; e = e->Flink) {
        EVENT* ev = CONTAINING_RECORD(e, EVENT, link);
        if (ev->irp == irp) {
            return ev;
        }
    }
    return NULL;
}

static EVENT* find_id(PLIST_ENTRY list, ULONG id) {
    PLIST_ENTRY e;
    for (e = list->Flink; e != list; e = e->Flink) {
        EVENT* ev = CONTAINING_RECORD(e, EVENT, link);
        if (ev->id == id) {
            return ev;
        }
    }
    return NULL;
}

/* Writes the request record of `ev` into the GET's buffer; called with the lock held, so the
 * client's IRP (whose cancel routine needs the lock) stays valid while its input is read. */
static ULONG fill_request(PIRP get, const EVENT* ev) {
    struct relay_request* r = (struct relay_request*)get->AssociatedIrp.SystemBuffer;
    RtlZeroMemory(r, sizeof *r);
    r->kind = ev->kind;
    r->id = ev->id;
    r->file = ev->file;
    r->iface = ev->iface;
    if (ev->kind == RELAY_OPEN) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(ev->irp);
        const FUNCTION_EXT* x = ev->iface < g_function_count ? g_functions[ev->iface] : NULL;
        r->share = s->Parameters.Create.ShareAccess;
        if (x != NULL) {
            r->in_length = x->link.Length;
            RtlCopyMemory(r + 1, x->link.Buffer, x->link.Length);
        }
    } else if (ev->irp != NULL) {
        /* CONTROL, BEGIN, DRAIN and STEP: buffered I/O controls. */
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(ev->irp);
        r->code = s->Parameters.DeviceIoControl.IoControlCode;
        r->in_length = s->Parameters.DeviceIoControl.InputBufferLength;
        r->out_room = s->Parameters.DeviceIoControl.OutputBufferLength;
        if (r->in_length > 0) {
            RtlCopyMemory(r + 1, ev->irp->AssociatedIrp.SystemBuffer, r->in_length);
        }
    }
    return (ULONG)sizeof *r + r->in_length;
}

/* With the lock held: if the server waits in a GET and an event is queued, hands the event
 * over and returns the GET to complete (with *size set) once the lock is released. */
static PIRP pump_locked(ULONG* size) {
    PLIST_ENTRY e;
    EVENT* ev;
    PIRP get = g_get;
    if (get == NULL || IsListEmpty(&g_queue)) {
        return NULL;
    }
    if (IoSetCancelRoutine(get, NULL) == NULL) {
        return NULL; /* being cancelled: its cancel routine clears g_get */
    }
    g_get = NULL;
    e = RemoveHeadList(&g_queue);
    ev = CONTAINING_RECORD(e, EVENT, link);
    *size = fill_request(get, ev);
    if (ev->kind == RELAY_CLOSE) {
        ExFreePoolWithTag(ev, RELAY_TAG); /* nothing to answer */
    } else {
        InsertTailList(&g_handed, &ev->link);
    }
    return get;
}

static void pump(void) {
    KIRQL irql;
    ULONG size = 0;
    PIRP get;
    KeAcquireSpinLock(&g_lock, &irql);
    get = pump_locked(&size);
    KeReleaseSpinLock(&g_lock, irql);
    if (get != NULL) {
        complete(get, STATUS_SUCCESS, size);
    }
}

static VOID NTAPI cancel_client(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    EVENT* ev;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    ev = find_irp(&g_queue, irp);
    if (ev == NULL) {
        ev = find_irp(&g_handed, irp);
    }
    if (ev != NULL) {
        RemoveEntryList(&ev->link);
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (ev != NULL) {
        ExFreePoolWithTag(ev, RELAY_TAG);
        complete(irp, STATUS_CANCELLED, 0);
    }
}

static VOID NTAPI cancel_get(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    BOOLEAN mine;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    mine = g_get == irp;
    if (mine) {
        g_get = NULL;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (mine) {
        complete(irp, STATUS_CANCELLED, 0);
    }
}

/* Queues an event for the server. A client IRP is marked pending and returns STATUS_PENDING;
 * without a server it fails at once. */
static NTSTATUS queue_event(ULONG kind, ULONG file, ULONG iface, PIRP irp) {
    KIRQL irql;
    EVENT* ev = (EVENT*)ExAllocatePoolWithTag(NonPagedPool, sizeof(EVENT), RELAY_TAG);
    if (ev == NULL) {
        return irp != NULL ? complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0)
                           : STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ev, sizeof *ev);
    ev->kind = kind;
    ev->file = file;
    ev->iface = iface;
    ev->irp = irp;
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_server == NULL) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePoolWithTag(ev, RELAY_TAG);
        return irp != NULL ? complete(irp, STATUS_DEVICE_NOT_READY, 0) : STATUS_DEVICE_NOT_READY;
    }
    ev->id = g_next_id++;
    if (irp != NULL) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel_client);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            KeReleaseSpinLock(&g_lock, irql);
            ExFreePoolWithTag(ev, RELAY_TAG);
            complete(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
    }
    InsertTailList(&g_queue, &ev->link);
    KeReleaseSpinLock(&g_lock, irql);
    pump();
    return irp != NULL ? STATUS_PENDING : STATUS_SUCCESS;
}

/* Enables the first `count` interfaces and disables the others (at PASSIVE_LEVEL). */
static void publish(ULONG count) {
    ULONG i;
    g_published = count;
    for (i = 0; i < g_function_count; ++i) {
        FUNCTION_EXT* x = g_functions[i];
        BOOLEAN want = i < count;
        if (x != NULL && x->enabled != want) {
            if (NT_SUCCESS(IoSetDeviceInterfaceState(&x->link, want))) {
                x->enabled = want;
            }
        }
    }
}

/* The server is gone: every IRP it owed an answer fails, close events are dropped, and no
 * interface stays published. */
static void disconnect(void) {
    KIRQL irql;
    LIST_ENTRY orphans;
    PLIST_ENTRY lists[2];
    int l;
    InitializeListHead(&orphans);
    lists[0] = &g_queue;
    lists[1] = &g_handed;
    KeAcquireSpinLock(&g_lock, &irql);
    g_server = NULL;
    for (l = 0; l < 2; ++l) {
        PLIST_ENTRY e = lists[l]->Flink;
        while (e != lists[l]) {
            EVENT* ev = CONTAINING_RECORD(e, EVENT, link);
            e = e->Flink;
            /* An IRP whose cancel routine already runs stays listed for that routine. */
            if (ev->irp == NULL || IoSetCancelRoutine(ev->irp, NULL) != NULL) {
                RemoveEntryList(&ev->link);
                InsertTailList(&orphans, &ev->link);
            }
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    while (!IsListEmpty(&orphans)) {
        EVENT* ev = CONTAINING_RECORD(RemoveHeadList(&orphans), EVENT, link);
        if (ev->irp != NULL) {
            complete(ev->irp, STATUS_DEVICE_NOT_READY, 0);
        }
        ExFreePoolWithTag(ev, RELAY_TAG);
    }
    publish(0);
}

/* The server's answer to a handed-over event. */
static NTSTATUS put_answer(PIRP irp, PIO_STACK_LOCATION s) {
    const struct relay_answer* a = (const struct relay_answer*)irp->AssociatedIrp.SystemBuffer;
    ULONG length = s->Parameters.DeviceIoControl.InputBufferLength;
    KIRQL irql;
    EVENT* ev;
    PIRP client;
    PIO_STACK_LOCATION cs;
    ULONG n;
    if (length < sizeof *a || a->out_length > length - sizeof *a) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    KeAcquireSpinLock(&g_lock, &irql);
    ev = find_id(&g_handed, a->id);
    if (ev == NULL || IoSetCancelRoutine(ev->irp, NULL) == NULL) {
        /* Cancelled meanwhile (the client went); its cancel routine completes it. */
        KeReleaseSpinLock(&g_lock, irql);
        return complete(irp, STATUS_CANCELLED, 0);
    }
    RemoveEntryList(&ev->link);
    KeReleaseSpinLock(&g_lock, irql);
    client = ev->irp;
    cs = IoGetCurrentIrpStackLocation(client);
    n = 0;
    if (ev->kind == RELAY_OPEN) {
        if (!NT_SUCCESS((NTSTATUS)a->status)) {
            cs->FileObject->FsContext = NULL;
        }
    } else {
        n = a->out_length;
        if (n > cs->Parameters.DeviceIoControl.OutputBufferLength) {
            n = cs->Parameters.DeviceIoControl.OutputBufferLength;
        }
        if (n > 0) {
            RtlCopyMemory(client->AssociatedIrp.SystemBuffer, a + 1, n);
        }
    }
    ExFreePoolWithTag(ev, RELAY_TAG);
    complete(client, (NTSTATUS)a->status, n);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS control_ioctl(PIRP irp, PIO_STACK_LOCATION s) {
    ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    KIRQL irql;
    if (code == RELAY_IOCTL_SERVE) {
        ULONG count;
        if (s->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        count = *(const ULONG*)irp->AssociatedIrp.SystemBuffer;
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_server != NULL && g_server != s->FileObject) {
            KeReleaseSpinLock(&g_lock, irql);
            return complete(irp, STATUS_SHARING_VIOLATION, 0); /* one server at a time */
        }
        g_server = s->FileObject;
        KeReleaseSpinLock(&g_lock, irql);
        publish(count > RELAY_MAX_INTERFACES ? RELAY_MAX_INTERFACES : count);
        return complete(irp, STATUS_SUCCESS, 0);
    }
    if (code == RELAY_IOCTL_GET) {
        ULONG size = 0;
        PIRP ready;
        if (s->Parameters.DeviceIoControl.OutputBufferLength < RELAY_RECORD_ROOM) {
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KeAcquireSpinLock(&g_lock, &irql);
        if (g_server != s->FileObject || g_get != NULL) {
            KeReleaseSpinLock(&g_lock, irql);
            return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, cancel_get);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            KeReleaseSpinLock(&g_lock, irql);
            complete(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
        g_get = irp;
        ready = pump_locked(&size);
        KeReleaseSpinLock(&g_lock, irql);
        if (ready != NULL) {
            complete(ready, STATUS_SUCCESS, size);
        }
        return STATUS_PENDING;
    }
    if (code == RELAY_IOCTL_PUT) {
        if (g_server != s->FileObject) {
            return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        }
        return put_answer(irp, s);
    }
    if (code == RELAY_IOCTL_DRAIN || code == RELAY_IOCTL_BEGIN) {
        if (s->Parameters.DeviceIoControl.InputBufferLength > RELAY_MAX_INPUT) {
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        return queue_event(code == RELAY_IOCTL_DRAIN ? RELAY_DRAIN : RELAY_BEGIN, 0, 0, irp);
    }
    if (code == RELAY_IOCTL_STEP) {
        /* The server checks the record itself; here only its size and the room for the index. */
        if (s->Parameters.DeviceIoControl.InputBufferLength > RELAY_STEP_ROOM) {
            return complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        if (s->Parameters.DeviceIoControl.OutputBufferLength < sizeof(uint32_t)) {
            return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        return queue_event(RELAY_STEP, 0, 0, irp);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    FUNCTION_EXT* x;
    ULONG file;
    KIRQL irql;
    if (device == g_control) {
        s->FileObject->FsContext = NULL;
        return complete(irp, STATUS_SUCCESS, 0);
    }
    x = (FUNCTION_EXT*)device->DeviceExtension;
    KeAcquireSpinLock(&g_lock, &irql);
    file = g_next_file++;
    KeReleaseSpinLock(&g_lock, irql);
    /* Named before the server has answered: Wine may hand the program's first I/O controls to
     * the driver before the completed open has been seen through, and they must find their
     * file. A refused open clears it again; its program never gets a handle. */
    s->FileObject->FsContext = (PVOID)(ULONG_PTR)file;
    return queue_event(RELAY_OPEN, file, x->index, irp);
}

static NTSTATUS NTAPI dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (device == g_control) {
        BOOLEAN server;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        server = g_server != NULL && g_server == s->FileObject;
        KeReleaseSpinLock(&g_lock, irql);
        if (server) {
            disconnect();
        }
    } else if (s->FileObject != NULL && s->FileObject->FsContext != NULL) {
        queue_event(RELAY_CLOSE, (ULONG)(ULONG_PTR)s->FileObject->FsContext, 0, NULL);
        s->FileObject->FsContext = NULL;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_ioctl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fo;
    ULONG file;
    if (device == g_control) {
        return control_ioctl(irp, s);
    }
    /* The stack location names the file object; the IRP's own record of it stands in when a
     * request arrives without it. */
    fo = s->FileObject != NULL ? s->FileObject : irp->Tail.Overlay.OriginalFileObject;
    file = (ULONG)(ULONG_PTR)(fo != NULL ? fo->FsContext : NULL);
    if (file == 0) {
        return complete(irp, STATUS_INVALID_HANDLE, 0);
    }
    if (s->Parameters.DeviceIoControl.InputBufferLength > RELAY_MAX_INPUT) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    return queue_event(RELAY_CONTROL, file, 0, irp);
}

static NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    FUNCTION_EXT* x;
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    if (device == g_control) {
        return complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
    x = (FUNCTION_EXT*)device->DeviceExtension;
    if (s->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        PDEVICE_OBJECT lower = x->lower;
        if (x->enabled) {
            IoSetDeviceInterfaceState(&x->link, FALSE);
        }
        if (x->index < RELAY_MAX_INTERFACES) {
            g_functions[x->index] = NULL;
        }
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        RtlFreeUnicodeString(&x->link);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->lower, irp);
}

static NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    FUNCTION_EXT* x;
    NTSTATUS status;
    if (g_function_count >= RELAY_MAX_INTERFACES) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status =
        IoCreateDevice(driver, sizeof(FUNCTION_EXT), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    x = (FUNCTION_EXT*)fdo->DeviceExtension;
    RtlZeroMemory(x, sizeof *x);
    x->self = fdo;
    x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    status = IoRegisterDeviceInterface(pdo, &kInterfaceClass, NULL, &x->link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(x->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    /* A link left enabled by an earlier session is withdrawn unless the server, which may
     * already be there while nodes are still being added, asked for it. */
    x->index = g_function_count;
    x->enabled = x->index < g_published;
    IoSetDeviceInterfaceState(&x->link, x->enabled);
    g_functions[g_function_count++] = x;
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    (void)driver;
    RtlInitUnicodeString(&link, L"\\DosDevices\\" RELAY_CONTROL_NAME);
    IoDeleteSymbolicLink(&link);
    if (g_control != NULL) {
        IoDeleteDevice(g_control);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    NTSTATUS status;
    (void)registry;
    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_queue);
    InitializeListHead(&g_handed);
    RtlInitUnicodeString(&name, L"\\Device\\" RELAY_CONTROL_NAME);
    RtlInitUnicodeString(&link, L"\\DosDevices\\" RELAY_CONTROL_NAME);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        return status;
    }
    g_control->Flags |= DO_BUFFERED_IO;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
