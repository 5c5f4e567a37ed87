#pragma once
// The import prompt: asks for the rate at which the numbers of a text file were taken. A tool
// window centred on the window that opens it. The field's rules are those of
// viewing/SampleRateField.h: while typing, anything but signed digits becomes its integer value;
// Enter, leaving the field and "Ok" put a rate outside 6 ... 10000 back to 100.
//
// Main thread.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class TSampFQuestForm : public QDialog {
    Q_OBJECT

public:
    explicit TSampFQuestForm(QWidget* parent = nullptr);

    // The validated rate (samples per second).
    int Rate() const;

    QLineEdit* FEdit() const { return m_edit; }
    QPushButton* OkButton() const { return m_ok; }

    // Shows the prompt modally: the rate, or 0 when it was closed without "Ok" or Enter.
    static int Ask(QWidget* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Validate();

    QLabel* m_question = nullptr;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
};
