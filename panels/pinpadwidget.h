// Panel for the device's PIN pad: request its SM2 key pair, download the test main key under the
// public key, download the test work key under the main key, and start a PIN entry.
#ifndef PINPADWIDGET_H
#define PINPADWIDGET_H

#include "device/devicefunctions.h"
#include "panels/basewidget.h"

class QLineEdit;
class QPushButton;

class PinPadWidget : public BaseWidget {
    Q_OBJECT
public:
    explicit PinPadWidget(QWidget* parent = nullptr);

    void loadLibrary(QLibrary* library) override;
    // Forgets the four device functions, for when the library is about to be unloaded: each
    // button then reports that its function is not loaded.
    void unbindLibrary();

public slots:
    void onPairKeyClick();
    void onMainKeyClick();
    void onWorkKeyClick();
    void onInputPinClick();

private:
    // What encrypting a test key gave: the ciphertext, or the words that follow the handler's tag
    // when nothing may be sent.
    struct KeyCipher {
        QByteArray cipher;
        QString refusal; // null when the ciphertext may be sent
    };

    // Encrypts a test key under key through the key library. Refuses it when the key library
    // throws, fails (L <= 0) or reports more bytes than maxLength (the split-nibble text of
    // maxLength bytes still fits its buffer with a NUL).
    KeyCipher encryptKey(const QByteArray& key, const char (&data)[16], int algorithm,
                         int maxLength);

    GenerateKeyFromPwFunc m_generateKeyFromPw = nullptr;
    SetPwMkeyFunc m_setPwMkey = nullptr;
    SetPwWkeyFunc m_setPwWkey = nullptr;
    InputPasswordFunc m_inputPassword = nullptr;

    QPushButton* m_pairKeyButton;
    QPushButton* m_mainKeyButton;
    QPushButton* m_workKeyButton;
    QPushButton* m_inputPinButton;

    QLineEdit* m_publicKeyEdit;
    QLineEdit* m_mainKeyEdit;
    QLineEdit* m_workKeyEdit;
};

#endif
