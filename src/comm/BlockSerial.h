#pragma once
// The serial port as the serial thread needs it: 1200 8N1, DTR off and RTS
// direction control for a half-duplex RS-485 converter. Used only from the
// serial thread after construction.
#include <QString>

#include <cstdint>

class TBlockSerial {
public:
    TBlockSerial();
    ~TBlockSerial();
    TBlockSerial(const TBlockSerial&) = delete;
    TBlockSerial& operator=(const TBlockSerial&) = delete;

    void Open(const QString& name);
    void Configure(uint32_t baud, uint8_t bits, char parity, uint8_t stop, bool softFlow, bool hardFlow);
    void SetRtsToggle();
    void ClearDtr();
    bool WaitForData(uint32_t timeoutMs);
    int Waiting();
    int ReadBytes(uint8_t* buffer, int count);
    int WriteBytes(const uint8_t* buffer, int count);
    bool IsOpen() const { return Fd >= 0; }

    int32_t LastError = 0;
    QString LastErrorText;

    // The lock file other serial programs honour (/run/lock/LCK..ttyS0),
    // empty when none is held.
    QString LockFile() const { return FLockFile; }
    // Why the port was opened without a lock file (also said as a warning);
    // empty when one is held.
    QString LockNote;
    // The lock file's name for a device: "LCK.." and the path below /dev of
    // the device a link leads to, with '/' turned into '_' (LCK..ttyUSB0 for
    // /dev/serial/by-id/usb-..., LCK..pts_3).
    static QString LockName(const QString& device);
    // Folder of the lock files; tests point it elsewhere.
    static QString LockFolder;

private:
    void SetError(int err, const QString& what);
    // Takes the lock file; false with the error set when another live
    // process holds it. When no lock file can be had (a folder without write
    // access, something else than a file in its place) the flock alone
    // locks the port, and LockNote says so.
    bool TakeLockFile(const QString& name);
    void Close();
    int Fd = -1;
    QString FLockFile;
    // How RTS follows transmission: the kernel's RS-485 mode, RTS switched
    // around each write, or nothing (pseudo-terminals, automatic converters).
    enum class RtsMode { None, Kernel, Manual } Rts = RtsMode::None;
    // Line error counters of the driver as last read; a change seen by a read
    // makes that read fail. Devices without counters never report one.
    bool HasLineCount = false;
    uint64_t LineErrors = 0;
};

// Device behind port number n (1-based): /dev/ttyUSB(n-1) when it exists,
// otherwise /dev/ttyS(n-1).
QString SerialDeviceName(uint8_t port);
