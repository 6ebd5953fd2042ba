#pragma once
// The layered link: a data layer speaking the application protocol on top of a
// root layer that owns the worker thread and the 100 ms timer. Requests go
// down through Send, received blocks come up through Receive, and every
// exchange ends in one result code numbered across the chain (the root's own
// codes first, then each child's).
#include "comm/ComEvents.h"
#include "comm/ComList.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class TComData;
class TComRootInterface;
class TThreadTime;

class TComInterface {
public:
    explicit TComInterface(TComData* child = nullptr);
    virtual ~TComInterface();
    TComInterface(const TComInterface&) = delete;
    TComInterface& operator=(const TComInterface&) = delete;

    TComInterface* Child = nullptr; // not owned

    virtual void Tick(void* sender);
    virtual void IdleTick(void* sender);
    virtual QString StatusChars() const;
    virtual QString StatusText(uint8_t code) const;
    virtual void DoStatus(uint8_t code);
    virtual QString ErrorChars() const;
    virtual QString ErrorText(uint8_t code) const;
    virtual void DoError(uint8_t code);
    virtual bool FindRoot(TComRootInterface*& root);
    virtual bool Send(const uint8_t* buffer, uint16_t length);
    virtual uint8_t Receive(const uint8_t*& buffer, uint16_t& length);
    virtual void Listen();
    virtual void DoTimeout();
    virtual void Complete(uint8_t code);

    QChar CodeChar(uint8_t code) const;
    QString CodeText(uint8_t code) const;
    QString RootDescription();
    bool RootIdle();
    void RootStop();
};

// Base of data layers; sends through its Parent, which it owns.
class TComData : public TComInterface {
public:
    explicit TComData(TComData* child = nullptr);
    ~TComData() override;

    TComInterface* Parent = nullptr; // owned
    virtual void SetParent(TComInterface* parent);

    QString StatusChars() const override;
    QString StatusText(uint8_t code) const override;
    void DoStatus(uint8_t code) override;
    bool FindRoot(TComRootInterface*& root) override;
    bool Send(const uint8_t* buffer, uint16_t length) override;
    void Listen() override;
};

class TComRootInterface : public TComInterface {
public:
    TComRootInterface(TComData* child, uint16_t period);
    ~TComRootInterface() override;

    std::unique_ptr<TThreadTime> Timer;
    TNotifyEvent OnTimer;
    TNotifyEvent OnIdle;
    TReceiveEvent OnReceive;
    TNotifyEvent OnTimeout;
    TStatusEvent OnStatus;

    virtual bool IsDatagram() const;
    virtual void Stop();
    virtual QString Description() const;
    virtual bool IsIdle() const;
    virtual uint16_t LogCount() const;
    virtual bool TakeLog(QStringList& strings);
    // The log's entries themselves, with their times; emptied as TakeLog.
    virtual bool TakeLogEntries(std::vector<TComList::TEntry>& entries);

    void Tick(void* sender) override;
    void IdleTick(void* sender) override;
    bool FindRoot(TComRootInterface*& root) override;
    uint8_t Receive(const uint8_t*& buffer, uint16_t& length) override;
    void DoTimeout() override;
    void Complete(uint8_t code) override;

protected:
    // Sum of the own code counts of every layer in the chain.
    uint8_t ChainCodeCount() const;
};

class TComThread;

class TComThreadInterface : public TComRootInterface {
public:
    // Takes ownership of thread and becomes its Owner.
    TComThreadInterface(TComData* child, uint16_t period, TComThread* thread);
    ~TComThreadInterface() override;

    std::unique_ptr<TComThread> Thread;
    TNotifyEvent OnThreadIdle;
    TActiveEvent OnWaiting;
    TActiveEvent OnReceiving;
    TActiveEvent OnSending;

    virtual void ThreadIdle();
    virtual void ThreadWaiting(bool active);
    virtual void ThreadReceiving(bool active);
    virtual void ThreadSending(bool active);
    virtual void ThreadTimeout();
    virtual void ThreadError();
    virtual void ThreadReceived(const uint8_t* buffer, uint16_t length);

    QString ErrorChars() const override;
    QString ErrorText(uint8_t code) const override;
    bool Send(const uint8_t* buffer, uint16_t length) override;
    void Listen() override;
    void Stop() override;
    QString Description() const override;
    bool IsIdle() const override;
    uint16_t LogCount() const override;
    bool TakeLog(QStringList& strings) override;
    bool TakeLogEntries(std::vector<TComList::TEntry>& entries) override;
};

class TSerialThread;
class TUDPThread;

class TSerialInterface : public TComThreadInterface {
public:
    TSerialInterface(TComData* child, uint16_t period, const QString& device, uint8_t port, uint32_t baud, char parity,
                     uint8_t dataBits, uint8_t stopBits, bool deviceGiven = false);
    TSerialThread* SerialThread() const;
};

// Adds its own length-and-checksum envelope. Not used by the client's chain.
class TSerialBuf : public TSerialInterface {
public:
    using TSerialInterface::TSerialInterface;
    // 8-bit sum of count bytes, no initial value, no complement.
    static uint8_t Checksum(const uint8_t* buffer, uint8_t count);
    bool Send(const uint8_t* buffer, uint16_t length) override;
    uint8_t Receive(const uint8_t*& buffer, uint16_t& length) override;
};

class TUDPInterface : public TComThreadInterface {
public:
    TUDPInterface(TComData* child, uint16_t period, uint16_t localPort);
    TUDPThread* UDPThread() const;
    bool IsDatagram() const override;
};
