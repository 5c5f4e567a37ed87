#pragma once
// The patient information form: name, age, height, weight, blood pressure and notes of the current
// record's patient, and when the record was made. Loading and saving are those of
// viewing/PatientInfoModel.h; the form shows the texts and forwards the save button.
//
// The main window docks ContainerPanel() and calls Load() each time it shows the form ("Сведения").
//
// Main thread.

#include "viewing/PatientInfoModel.h"

#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

inline constexpr char16_t kPatientSavedText[] = u"Сведения сохранены в записи.";
inline constexpr char16_t kPatientNoticeCaption[] = u"Примечания";

class TPatientForm : public QWidget {
    Q_OBJECT

public:
    explicit TPatientForm(QWidget* parent = nullptr);

    QWidget* ContainerPanel() const { return m_container; }

    // Fills the fields from the current record, opening it when the record object has nothing
    // open. False when there is no record to show (the fields are then empty and cannot be saved).
    bool Load();
    // "Сохранить": stores the fields in the record; a failure is said in a message.
    void SaveButtonClick();

    // Field i in kPatientFields order (0 ... 4; the notes are PatNoticeMemo).
    QLineEdit* Edit(int i) const { return m_edits[size_t(i)]; }
    QPlainTextEdit* PatNoticeMemo() const { return m_notice; }
    QLabel* TimeStampLabel() const { return m_time; }
    QLabel* StatusLabel() const { return m_status; }
    QPushButton* SaveButton() const { return m_save; }

private:
    sPatientInfo Fields() const;
    void SetEditable(bool on);

    QWidget* m_container = nullptr;
    QWidget* m_centering = nullptr;
    std::array<QLineEdit*, kPatientFieldCount - 1> m_edits{};
    QPlainTextEdit* m_notice = nullptr;
    QLabel* m_time = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_save = nullptr;
};
