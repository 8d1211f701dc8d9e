// Qualifies a device library in one run: starts the library host, names the file that answered,
// and runs the thirteen checks of one table in order (exports, key pair, main and work key, PIN
// block, bounds, serial number, and the key chain repeated), reporting each line as it is
// decided. What a check needs, device functions and what earlier checks established, is the
// table's too. Every judgement is made here; the host only calls the library and copies back its
// guarded buffers.
#ifndef DEVICECHECKER_H
#define DEVICECHECKER_H

#include "devicecheck/checkoptions.h"
#include "devicecheck/checkreport.h"
#include "devicecheck/deviceprocess.h"
#include "devicecheck/keychain.h"
#include "devicecheck/libraryfile.h"
#include "devicecheck/soak.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class DeviceChecker {
public:
    // A line of the report (standard output), or an error (standard error).
    using LineSink = std::function<void(const QString& line, bool error)>;

    // The check ids, in the order they run.
    static const QStringList& checkIds();
    static QString toolVersion();

    DeviceChecker(const CheckOptions& options, LineSink sink);

    // Starts the library host and runs every check; the host is gone on return.
    CheckReport run();

private:
    // What the checks establish for the checks after them, and the tester's choice; each read
    // from the state the checks leave.
    enum Fact : quint32 {
        SnWriteAsked = 1 << 0,     // --write-sn was given
        KeyPairReturned = 1 << 1,  // keypair-format's request returned
        PublicKey = 1 << 2,        // a public key on the curve is at hand
        MainKeyAccepted = 1 << 3,  // this run's main key was accepted
        WorkKeyAccepted = 1 << 4,  // this run's work key was accepted
        PinEntryReturned = 1 << 5, // the PIN entry returned
        SerialRead = 1 << 6,       // sn-read gave a valid serial number to restore
        SoakAsked = 1 << 7,        // --repeat asked for rounds of the key chain
    };
    struct Check {
        const char* id;
        quint32 functions; // bit i: kDeviceFunctionNames[i]
        quint32 needs;     // Facts
        CheckResult (DeviceChecker::*run)();
    };
    static const std::vector<Check>& checks();
    // The check's result: run, or skipped for the first thing it needs that is missing.
    CheckResult result(const Check& check);

    // The shapes the checks share: a call that did not return, or a step the key library could
    // not make; an offer the device must refuse, which passes when it answers non-zero; nothing
    // written past size bytes of the buffer.
    static CheckResult failure(const CallResult& call, const QString& problem = QString());
    static CheckResult refusal(const CallResult& call, const QString& problem,
                               const QString& offered);
    static CheckResult bounds(const CallResult& call, int size);

    CheckResult checkExports();
    CheckResult checkKeyPair();
    CheckResult checkKeyPairBounds();
    CheckResult checkSmallKeyBuffer();
    CheckResult checkTamperedMainKey();
    CheckResult checkEmptyMainKey();
    CheckResult checkMainKey();
    CheckResult checkWorkKey();
    CheckResult checkPinBlock();
    CheckResult checkPinBounds();
    CheckResult checkSerialRead();
    CheckResult checkSerialWrite();
    CheckResult checkSoak();

    // Starts the host for the library; false, with the reason reported, when it cannot be checked.
    bool load();
    // One round of the soak: the key chain with fresh keys, judged as the checks judge it, and
    // the PIN entry when pinEntry; its calls and failures go to soak.
    void soakRound(int round, bool pinEntry, Soak* soak);
    void record(const char* id, CheckResult result);
    // Ends every process of the library's and reports what only that shows: what the library
    // mapped since it loaded, what it wrote to standard output or error, calls the sandbox refused
    // outside the checks, and processes that could not be ended.
    void finish();
    // Shows what the library wrote to standard output or error, when it wrote anything.
    void reportOutput();
    // Says so when the sandbox does not hold.
    void reportSandbox();
    // Reads the serial number; its text when it is valid, otherwise empty with the reason.
    CallResult readSerial(QByteArray* serial, QString* problem);

    CheckOptions m_options;
    LineSink m_sink;
    DeviceProcess m_process;
    KeyChain m_chain;
    LibraryFile m_file;
    CheckReport m_report;
    HostIdentity m_identity; // as the library loaded

    CallResult m_keyPairCall;
    bool m_mainKeyAccepted = false;
    bool m_workKeyAccepted = false;
    CallResult m_pinCall; // InputPassword's, once it was called
    QByteArray m_serial;  // the serial number sn-read found, empty when none
};

#endif
