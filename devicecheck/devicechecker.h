// Qualifies a device library in one run: loads it, names the file that answered, and runs the
// twelve checks in order (exports, key pair, main and work key, PIN block, bounds, serial
// number), reporting each line as it is decided. Every byte the library returns is read from a
// guarded buffer, bounded, and shown only as plain text.
#ifndef DEVICECHECKER_H
#define DEVICECHECKER_H

#include "devicecheck/checkoptions.h"
#include "devicecheck/checkreport.h"
#include "devicecheck/devicecaller.h"

#include <QByteArray>
#include <QFunctionPointer>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>
#include <memory>

class QLibrary;

class DeviceChecker {
public:
    using LineSink = std::function<void(const QString& line)>;

    // The check ids, in the order they run.
    static const QStringList& checkIds();
    static QString toolVersion();

    DeviceChecker(const CheckOptions& options, LineSink sink);
    ~DeviceChecker();

    // Loads the library and runs every check. The library stays loaded for the life of the
    // process: a call that did not return may still be running inside it.
    CheckReport run();
    // Whether a device call was abandoned for want of a return; the process should then end
    // without unloading anything.
    bool abandonedCall() const { return m_caller.stopped(); }

private:
    void checkExports();
    void checkKeyPair();
    void checkSmallKeyBuffer();
    void checkTamperedMainKey();
    void checkEmptyMainKey();
    void checkMainKey();
    void checkWorkKey();
    void checkPinBlock();
    void checkPinBounds();
    void checkSerialRead();
    void checkSerialWrite();

    // Records a SKIP and returns false when a run was stopped or a function is missing.
    bool ready(const QString& id, std::initializer_list<const char*> functions);
    // Records a FAIL and returns false when the call did not return.
    bool returned(const QString& id, const QString& function, const CallResult& call);
    // Records whether the call left the guard past size bytes of its buffer intact.
    void recordBounds(const QString& id, const QByteArray& out, int size);
    void record(const QString& id, CheckStatus status, const QString& detail,
                double milliseconds = -1);

    template <typename Function>
    Function function(const char* name) const
    {
        return reinterpret_cast<Function>(m_functions.value(QLatin1String(name)));
    }

    // Requests a key pair with the 256 bytes the tool passes.
    CallResult requestKeyPair();
    // Keeps the public key of a key-pair request when its text is a point on the SM2 curve;
    // otherwise returns (and keeps) the reason it is not.
    QString takePublicKey(const CallResult& call);
    // The SM2 ciphertext of the test main key under the public key, made once per key pair.
    QByteArray mainKeyCipher(QString* problem);
    // Sets the main key from the split-nibble text of cipher.
    CallResult sendMainKey(const QByteArray& cipher);
    // Reads the serial number; its text when it is valid, otherwise empty with the reason.
    CallResult readSerial(QByteArray* serial, QString* problem);

    CheckOptions m_options;
    LineSink m_sink;
    DeviceCaller m_caller;
    CheckReport m_report;
    std::unique_ptr<QLibrary> m_library;
    QHash<QString, QFunctionPointer> m_functions;

    QByteArray m_publicKey;     // empty until a valid key pair was reported
    QString m_publicKeyProblem; // why m_publicKey is empty
    QByteArray m_mainKeyCipher; // for m_publicKey
    bool m_mainKeyAccepted = false;
    bool m_workKeyAccepted = false;
    QByteArray m_pinOut; // InputPassword's guarded buffer, once it was called
    QByteArray m_serial; // the serial number sn-read found, empty when none
};

#endif
