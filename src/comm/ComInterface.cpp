#include "comm/ComInterface.h"
#include "comm/ComThread.h"
#include "comm/SerialThread.h"
#include "comm/UDPThread.h"
#include "core/WThread.h"

#include <vector>

// ---------------------------------------------------------------- TComInterface

TComInterface::TComInterface(TComData* child)
    : Child(child)
{
    if (child)
        child->SetParent(this);
}

TComInterface::~TComInterface() = default;

void TComInterface::Tick(void* sender)
{
    if (Child)
        Child->Tick(sender);
}

void TComInterface::IdleTick(void* sender)
{
    if (Child)
        Child->IdleTick(sender);
}

QString TComInterface::StatusChars() const { return {}; }
QString TComInterface::StatusText(uint8_t) const { return {}; }
void TComInterface::DoStatus(uint8_t) { }
QString TComInterface::ErrorChars() const { return {}; }
QString TComInterface::ErrorText(uint8_t) const { return {}; }
void TComInterface::DoError(uint8_t) { }
bool TComInterface::FindRoot(TComRootInterface*& root)
{
    root = nullptr;
    return false;
}
bool TComInterface::Send(const uint8_t*, uint16_t) { return false; }

uint8_t TComInterface::Receive(const uint8_t*& buffer, uint16_t& length)
{
    if (!Child || length == 0)
        return 0;
    const uint8_t r = Child->Receive(buffer, length);
    if (r == 0)
        return 0;
    return static_cast<uint8_t>(r + ErrorChars().size());
}

void TComInterface::Listen() { }

void TComInterface::DoTimeout()
{
    if (Child)
        Child->DoTimeout();
}

void TComInterface::Complete(uint8_t code)
{
    const int n = int(StatusChars().size());
    if (code <= n) {
        DoStatus(code);
        return;
    }
    const int c = code - n;
    if (c <= ErrorChars().size())
        DoError(static_cast<uint8_t>(c));
    else if (Child)
        Child->Complete(code);
}

QChar TComInterface::CodeChar(uint8_t code) const
{
    if (code == 0)
        return QLatin1Char(' ');
    const QString s = StatusChars() + ErrorChars();
    if (code <= s.size())
        return s.at(code - 1);
    if (Child)
        return Child->CodeChar(code);
    return QLatin1Char(' ');
}

QString TComInterface::CodeText(uint8_t code) const
{
    const int n = int(StatusChars().size());
    if (code <= n)
        return StatusText(code);
    if (code - n <= ErrorChars().size())
        return ErrorText(static_cast<uint8_t>(code - n));
    if (Child)
        return Child->CodeText(code);
    return {};
}

QString TComInterface::RootDescription()
{
    TComRootInterface* root = nullptr;
    return FindRoot(root) && root ? root->Description() : QString();
}

bool TComInterface::RootIdle()
{
    TComRootInterface* root = nullptr;
    return FindRoot(root) && root ? root->IsIdle() : true;
}

void TComInterface::RootStop()
{
    TComRootInterface* root = nullptr;
    if (FindRoot(root) && root)
        root->Stop();
}

// ---------------------------------------------------------------- TComData

TComData::TComData(TComData* child)
    : TComInterface(child)
{
}

TComData::~TComData()
{
    if (Parent) {
        // The root outlives this layer by a moment while its threads stop;
        // nothing it serves meanwhile may reach back into a half-destroyed layer.
        Parent->Child = nullptr;
        delete Parent;
        Parent = nullptr;
    }
}

void TComData::SetParent(TComInterface* parent)
{
    if (Parent == parent)
        return;
    if (Parent) {
        Parent->Child = nullptr;
        delete Parent;
    }
    Parent = parent;
}

QString TComData::StatusChars() const { return Parent ? Parent->StatusChars() + Parent->ErrorChars() : QString(); }
QString TComData::StatusText(uint8_t code) const { return Parent ? Parent->CodeText(code) : QString(); }

void TComData::DoStatus(uint8_t code)
{
    if (Parent)
        Parent->DoStatus(code);
}

bool TComData::FindRoot(TComRootInterface*& root)
{
    if (Parent)
        return Parent->FindRoot(root);
    root = nullptr;
    return false;
}

bool TComData::Send(const uint8_t* buffer, uint16_t length) { return Parent ? Parent->Send(buffer, length) : false; }

void TComData::Listen()
{
    if (Parent)
        Parent->Listen();
}

// ---------------------------------------------------------------- TComRootInterface

TComRootInterface::TComRootInterface(TComData* child, uint16_t period)
    : TComInterface(child)
{
    if (period > 0)
        Timer = std::make_unique<TThreadTime>(period, [this](TThreadTime* timer) { Tick(timer); });
}

TComRootInterface::~TComRootInterface()
{
    if (Timer)
        Timer->Stop();
}

bool TComRootInterface::IsDatagram() const { return false; }

void TComRootInterface::Stop()
{
    if (Timer)
        Timer->Stop();
}

QString TComRootInterface::Description() const { return {}; }
bool TComRootInterface::IsIdle() const { return true; }
uint16_t TComRootInterface::LogCount() const { return 0; }
bool TComRootInterface::TakeLog(QStringList&) { return false; }
bool TComRootInterface::TakeLogEntries(std::vector<TComList::TEntry>&) { return false; }

void TComRootInterface::Tick(void* sender)
{
    TComInterface::Tick(sender);
    if (OnTimer)
        OnTimer(sender);
    if (IsIdle())
        IdleTick(sender);
}

void TComRootInterface::IdleTick(void* sender)
{
    TComInterface::IdleTick(sender);
    if (OnIdle)
        OnIdle(sender);
}

bool TComRootInterface::FindRoot(TComRootInterface*& root)
{
    root = this;
    return true;
}

uint8_t TComRootInterface::Receive(const uint8_t*& buffer, uint16_t& length)
{
    uint8_t r = TComInterface::Receive(buffer, length);
    if (length != 0 && r == 0 && OnReceive) {
        r = OnReceive(buffer, length);
        if (r != 0)
            r = static_cast<uint8_t>(r + ChainCodeCount());
    }
    return r;
}

void TComRootInterface::DoTimeout()
{
    TComInterface::DoTimeout();
    if (OnTimeout)
        OnTimeout(this);
}

void TComRootInterface::Complete(uint8_t code)
{
    TComInterface::Complete(code);
    if (OnStatus)
        OnStatus(code);
}

uint8_t TComRootInterface::ChainCodeCount() const
{
    int n = int(ErrorChars().size());
    for (const TComInterface* c = Child; c; c = c->Child)
        n += int(c->ErrorChars().size());
    return static_cast<uint8_t>(n);
}

// ---------------------------------------------------------------- TComThreadInterface

TComThreadInterface::TComThreadInterface(TComData* child, uint16_t period, TComThread* thread)
    : TComRootInterface(child, period)
    , Thread(thread)
{
    if (Thread)
        Thread->Owner = this;
}

TComThreadInterface::~TComThreadInterface()
{
    // The thread reports to this object: it must be gone before this is.
    TComThreadInterface::Stop();
    if (Thread)
        Thread->Owner = nullptr;
}

void TComThreadInterface::ThreadIdle()
{
    if (OnThreadIdle)
        OnThreadIdle(this);
}

void TComThreadInterface::ThreadWaiting(bool active)
{
    if (OnWaiting)
        OnWaiting(active);
}

void TComThreadInterface::ThreadReceiving(bool active)
{
    if (OnReceiving)
        OnReceiving(active);
}

void TComThreadInterface::ThreadSending(bool active)
{
    if (OnSending)
        OnSending(active);
}

void TComThreadInterface::ThreadTimeout()
{
    DoTimeout();
    Complete(1);
}

void TComThreadInterface::ThreadError() { Complete(2); }

void TComThreadInterface::ThreadReceived(const uint8_t* buffer, uint16_t length)
{
    const uint8_t* b = buffer;
    uint16_t n = length;
    Complete(Receive(b, n));
}

QString TComThreadInterface::ErrorChars() const { return QStringLiteral("  "); }

QString TComThreadInterface::ErrorText(uint8_t code) const
{
    switch (code) {
    case 1: return QStringLiteral("Timeout");
    case 2: return QStringLiteral("Chyba komunikacneho rozhrania");
    default: return {};
    }
}

bool TComThreadInterface::Send(const uint8_t* buffer, uint16_t length)
{
    return Thread ? Thread->Accept(buffer, length) : false;
}

void TComThreadInterface::Listen()
{
    if (Thread)
        Thread->ArmListen();
}

void TComThreadInterface::Stop()
{
    if (Thread)
        Thread->Stop();
    TComRootInterface::Stop();
}

QString TComThreadInterface::Description() const { return Thread ? Thread->Description() : QString(); }
bool TComThreadInterface::IsIdle() const { return Thread ? Thread->IsIdle() : true; }
uint16_t TComThreadInterface::LogCount() const { return Thread ? Thread->Log.Count() : 0; }
bool TComThreadInterface::TakeLog(QStringList& strings) { return Thread ? Thread->Log.ToStrings(strings, true) : false; }
bool TComThreadInterface::TakeLogEntries(std::vector<TComList::TEntry>& entries)
{
    return Thread ? Thread->Log.TakeEntries(entries) : false;
}

// ---------------------------------------------------------------- TSerialInterface

TSerialInterface::TSerialInterface(TComData* child, uint16_t period, const QString& device, uint8_t port, uint32_t baud,
                                   char parity, uint8_t dataBits, uint8_t stopBits, bool deviceGiven)
    : TComThreadInterface(child, period, new TSerialThread(device, port, baud, parity, dataBits, stopBits, deviceGiven))
{
}

TSerialThread* TSerialInterface::SerialThread() const { return static_cast<TSerialThread*>(Thread.get()); }

// ---------------------------------------------------------------- TSerialBuf

uint8_t TSerialBuf::Checksum(const uint8_t* buffer, uint8_t count)
{
    uint8_t sum = 0;
    for (uint8_t i = 0; i < count; ++i)
        sum = static_cast<uint8_t>(sum + buffer[i]);
    return sum;
}

bool TSerialBuf::Send(const uint8_t* buffer, uint16_t length)
{
    if (length < 1 || length > 255)
        return false;
    std::vector<uint8_t> frame(size_t(length) + 2);
    frame[0] = static_cast<uint8_t>(length);
    std::copy(buffer, buffer + length, frame.begin() + 1);
    frame[length + 1] = Checksum(buffer, static_cast<uint8_t>(length));
    return TSerialInterface::Send(frame.data(), static_cast<uint16_t>(frame.size()));
}

uint8_t TSerialBuf::Receive(const uint8_t*& buffer, uint16_t& length)
{
    if (length <= 2)
        return 3;
    if (length >= 258)
        return 4;
    if (buffer[0] + 2 != length)
        return 5;
    if (Checksum(buffer + 1, buffer[0]) != buffer[length - 1])
        return 6;
    buffer += 1;
    length = static_cast<uint16_t>(length - 2);
    return TSerialInterface::Receive(buffer, length);
}

// ---------------------------------------------------------------- TUDPInterface

TUDPInterface::TUDPInterface(TComData* child, uint16_t period, uint16_t localPort)
    : TComThreadInterface(child, period, new TUDPThread(localPort))
{
}

TUDPThread* TUDPInterface::UDPThread() const { return static_cast<TUDPThread*>(Thread.get()); }

bool TUDPInterface::IsDatagram() const { return true; }
