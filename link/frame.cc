// The reader's frame format: DLE STX, the payload with every DLE doubled, an XOR check byte
// (doubled too when it is DLE), DLE ETX. The same format runs in both directions.
#include "link/link.h"

// Reserves one more byte of the output and fails before anything is written past its end.
#define QKR_FRAME_ROOM(count, size)                                                                \
    do {                                                                                           \
        if ((count) > (size))                                                                      \
            return STATUS_BUFFER_TOO_SMALL;                                                        \
    } while (0)

NTSTATUS Qkr_BuildFrame(PUCHAR OutputBuffer, ULONG OutputSize, PUCHAR Payload, ULONG PayloadLength,
                        PULONG FrameLength) {
    ULONG count;
    ULONG i;
    UCHAR check;

    if (OutputBuffer == nullptr || Payload == nullptr || FrameLength == nullptr)
        return STATUS_DEVICE_DATA_ERROR;
    // An output area below 7 bytes is refused outright, even for a frame that would fit in it.
    if (OutputSize < 7)
        return STATUS_BUFFER_TOO_SMALL;

    OutputBuffer[0] = QKR_DLE;
    OutputBuffer[1] = QKR_STX;
    count = 2;
    check = 0;

    for (i = 0; i < PayloadLength; i++) {
        UCHAR b = Payload[i];
        count++;
        QKR_FRAME_ROOM(count, OutputSize);
        check ^= b;
        OutputBuffer[count - 1] = b;
        if (b == QKR_DLE) {
            count++;
            QKR_FRAME_ROOM(count, OutputSize);
            OutputBuffer[count - 1] = QKR_DLE;
        }
    }

    count++;
    QKR_FRAME_ROOM(count, OutputSize);
    OutputBuffer[count - 1] = check;
    if (check == QKR_DLE) {
        count++;
        QKR_FRAME_ROOM(count, OutputSize);
        OutputBuffer[count - 1] = QKR_DLE;
    }

    count += 2;
    QKR_FRAME_ROOM(count, OutputSize);
    OutputBuffer[count - 2] = QKR_DLE;
    OutputBuffer[count - 1] = QKR_ETX;
    *FrameLength = count;
    return STATUS_SUCCESS;
}

void Qkr_ScanReceivedBytes(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Chunk,
                           ULONG ChunkLength) {
    PREADER_EXTENSION reader = SmartcardExtension->ReaderExtension;
    ULONG base;
    ULONG stored = 0;
    BOOLEAN endedBefore = FALSE;
    ULONG i;

    if (reader->ReceivedLength == QKR_RECEIVE_OVERFLOW)
        return;
    // Every store below checks against the buffer, so a length beyond it means a bug elsewhere.
    ASSERT(reader->ReceivedLength <= QKR_BUFFER_SIZE);
    base = reader->ReceivedLength;

    if (!reader->FrameStarted)
        reader->FrameStarted = TRUE;

    for (i = 0; i < ChunkLength; i++) {
        UCHAR b = Chunk[i];

        // An ETX that does not fit completes the frame only on paper: it must not pass for a
        // byte that came after the end.
        endedBefore = reader->FrameComplete;
        if (b == QKR_DLE) {
            reader->DleSeen = !reader->DleSeen;
        } else if (b == QKR_ETX) {
            if (reader->DleSeen)
                reader->FrameComplete = TRUE;
        } else if (b == QKR_STX) {
            if (reader->DleSeen) {
                // The DLE came before we knew a frame started: put it back in front.
                if (base + stored >= QKR_BUFFER_SIZE)
                    goto overflow;
                reader->ReceiveBuffer[base + stored] = QKR_DLE;
                stored++;
                reader->Storing = TRUE;
                reader->DleSeen = FALSE;
                if (!reader->FrameStarted)
                    reader->FrameStarted = TRUE;
            }
        }

        if (reader->Storing) {
            if (base + stored >= QKR_BUFFER_SIZE)
                goto overflow;
            reader->ReceiveBuffer[base + stored] = b;
            stored++;
        }
    }
    reader->ReceivedLength = base + stored;
    ASSERT(reader->ReceivedLength <= QKR_BUFFER_SIZE);
    return;

overflow:
    if (endedBefore) {
        // Only bytes after the end of the frame were lost; the decoder never looks at them.
        reader->ReceivedLength = base + stored;
        return;
    }
    reader->ReceivedLength = QKR_RECEIVE_OVERFLOW;
    reader->FrameComplete = TRUE;
}

LONG Qkr_DecodeFrame(PUCHAR Buffer, PLONG Length) {
    enum { WaitDle, DleSeen, InData, DleInData } state = WaitDle;
    LONG length = *Length;
    LONG in;
    LONG out = 0;
    UCHAR check = 0;

    *Length = 0;
    if (length == -1)
        return QKR_FRAME_BAD;
    if (length <= 0)
        return QKR_FRAME_INCOMPLETE;

    for (in = 0; in < length; in++) {
        UCHAR b = Buffer[in];
        switch (state) {
        case WaitDle:
            check = 0;
            if (b == QKR_DLE)
                state = DleSeen;
            break;
        case DleSeen:
            state = (b == QKR_STX) ? InData : WaitDle;
            break;
        case InData:
            if (b == QKR_DLE) {
                state = DleInData;
            } else {
                Buffer[out++] = b;
                check ^= b;
            }
            break;
        case DleInData:
            if (b == QKR_DLE) {
                Buffer[out++] = QKR_DLE;
                check ^= QKR_DLE;
                state = InData;
            } else if (b == QKR_ETX) {
                if (check != 0)
                    return QKR_FRAME_BAD;
                if (out == 2 && Buffer[0] == QKR_NAK)
                    return QKR_FRAME_NAK;
                *Length = out;
                return QKR_FRAME_GOOD;
            } else {
                return QKR_FRAME_BAD;
            }
            break;
        }
    }
    return QKR_FRAME_INCOMPLETE;
}
