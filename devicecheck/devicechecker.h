// Qualifies a device library in one run: loads it in a child process, names the file that
// answered, and runs the thirteen checks of one table in order (exports, key pair, main and work
// key, PIN block, bounds, serial number, and the key chain repeated), reporting each line as it
// is decided. What a check needs, device functions and what earlier checks established, is the
// table's too. Every judgement is made here; the child only calls the library and copies back its
// guarded buffers.
#ifndef DEVICECHECKER_H
#define DEVICECHECKER_H

#include "devicecheck/checkoptions.h"
#include "devicecheck/checkreport.h"
#include "devicecheck/deviceprocess.h"
#include "devicecheck/libraryfile.h"
#include "devicecheck/pinblockreader.h"
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

    // Loads the library in a child process and runs every check; the child is gone on return.
    CheckReport run();

private:
    struct Verdict {
        CheckStatus status;
        QString detail;
        double milliseconds = -1;
        bool excused = false; // a skip the tester chose, which does not count against the library
    };
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
        Verdict (DeviceChecker::*run)();
    };
    static const std::vector<Check>& checks();
    // The check's verdict: run, or skipped for the first thing it needs that is missing.
    Verdict verdict(const Check& check);

    // The shapes the checks share: a call that did not return; an offer the device must refuse,
    // which passes when it answers non-zero; nothing written past size bytes of the buffer.
    static Verdict failure(const CallResult& call);
    static Verdict refusal(const CallResult& call, const QString& offered);
    static Verdict bounds(const CallResult& call, int size);

    Verdict checkExports();
    Verdict checkKeyPair();
    Verdict checkKeyPairBounds();
    Verdict checkSmallKeyBuffer();
    Verdict checkTamperedMainKey();
    Verdict checkEmptyMainKey();
    Verdict checkMainKey();
    Verdict checkWorkKey();
    Verdict checkPinBlock();
    Verdict checkPinBounds();
    Verdict checkSerialRead();
    Verdict checkSerialWrite();
    Verdict checkSoak();

    // Loads the library; false, with the reason reported, when it cannot be checked.
    bool load();
    // This run's main and work key from libcrypto's random generator, and their check values.
    bool makeKeys();
    // A fresh main and work key.
    bool randomKeys();
    // One round of the soak: the key chain with fresh keys, judged as the checks judge it, and
    // the PIN entry when pinEntry; its calls and failures go to soak.
    void soakRound(int round, bool pinEntry, Soak* soak);
    void record(const char* id, const Verdict& verdict);
    // Ends every process of the library's and reports what only that shows: what the library wrote
    // to standard output or error, calls the sandbox refused outside the checks, and processes
    // that could not be ended.
    void finish();
    // Shows what the library wrote to standard output or error, when it wrote anything.
    void reportOutput();
    // Says so when the sandbox does not hold.
    void reportSandbox();

    // Requests a key pair with the 256 bytes the tool passes, and keeps its public key when its
    // text is a point on the SM2 curve (otherwise the reason it is not).
    CallResult requestKeyPair();
    // The SM2 ciphertext of this run's main key under the public key, with one bit of C3
    // flipped when tampered; empty with the reason when the key library cannot make it.
    QByteArray mainKeyCipher(bool tampered, QString* problem);
    CallResult sendMainKey(const QByteArray& cipher);
    // This run's work key under its main key, sent; empty failure with the reason in problem when
    // the key library cannot encrypt it.
    CallResult sendWorkKey(QString* problem, int* cipherSize = nullptr);
    // The PIN entry's answer judged: empty when its block decrypts under this run's work key to
    // the PIN typed; reading gets the block's layout and PIN.
    QString pinBlockProblem(const CallResult& call, PinBlockReading* reading) const;
    // Reads the serial number; its text when it is valid, otherwise empty with the reason.
    CallResult readSerial(QByteArray* serial, QString* problem);

    CheckOptions m_options;
    LineSink m_sink;
    DeviceProcess m_process;
    LibraryFile m_file;
    CheckReport m_report;
    HostIdentity m_identity; // as the library loaded

    QByteArray m_mainKey; // this run's keys, never shown
    QByteArray m_workKey;
    CallResult m_keyPairCall;
    QByteArray m_publicKey;     // empty until a valid key pair was reported
    QString m_publicKeyProblem; // why m_publicKey is empty
    bool m_mainKeyAccepted = false;
    bool m_workKeyAccepted = false;
    CallResult m_pinCall; // InputPassword's, once it was called
    QByteArray m_serial;  // the serial number sn-read found, empty when none
};

#endif
