#include "viewing/ui/PatientFormUnit.h"

#include "app/AppState.h"
#include "storage/PGFiles.h"
#include "viewing/ui/QtText.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const kEditNames[kPatientFieldCount - 1] = {"PatNameEdit", "PatAgeEdit", "PatHeightEdit",
                                                        "PatWeightEdit", "PatPressureEdit"};

MString CurrentRecordFile() {
    const cAppState* app = GetAppState(false);
    return app ? app->CurrentRecordFile : MString();
}

} // namespace

TPatientForm::TPatientForm(QWidget* parent) : QWidget(parent) {
    setObjectName("PatientForm");
    m_container = new QWidget(this);
    m_container->setObjectName("ContainerPanel");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_container);

    m_centering = new QWidget(m_container);
    m_centering->setObjectName("CenteringPanel");
    auto* grid = new QGridLayout(m_centering);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(8);
    int row = 0;
    for (int i = 0; i < kPatientFieldCount - 1; ++i, ++row) {
        auto* label = new QLabel(ToQt(kPatientFields[i].caption), m_centering);
        m_edits[size_t(i)] = new QLineEdit(m_centering);
        m_edits[size_t(i)]->setObjectName(kEditNames[i]);
        label->setBuddy(m_edits[size_t(i)]);
        grid->addWidget(label, row, 0, Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(m_edits[size_t(i)], row, 1);
    }
    auto* noticeLabel = new QLabel(ToQt(kPatientNoticeCaption), m_centering);
    m_notice = new QPlainTextEdit(m_centering);
    m_notice->setObjectName("PatNoticeMemo");
    m_notice->setTabChangesFocus(true);
    noticeLabel->setBuddy(m_notice);
    grid->addWidget(noticeLabel, row, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(m_notice, row++, 1);
    grid->setRowStretch(row - 1, 1);

    m_time = new QLabel(m_centering);
    m_time->setObjectName("TimeStampLabel");
    grid->addWidget(m_time, row++, 1);

    m_save = new QPushButton(ToQt(kPatientSaveCaption), m_centering);
    m_save->setObjectName("SaveButton");
    m_status = new QLabel(m_centering);
    m_status->setObjectName("StatusLabel");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_save);
    grid->addLayout(buttons, row++, 1);
    grid->setColumnStretch(1, 1);
    m_centering->setFixedSize(620, 430);
    connect(m_save, &QPushButton::clicked, this, &TPatientForm::SaveButtonClick);
    for (QLineEdit* e : m_edits) connect(e, &QLineEdit::textEdited, m_status, &QLabel::clear);
    connect(m_notice, &QPlainTextEdit::textChanged, m_status, &QLabel::clear);

    // The centering panel stays in the middle of the container, whatever its size.
    auto* centre = new QGridLayout(m_container);
    centre->addWidget(m_centering, 1, 1);
    centre->setRowStretch(0, 1);
    centre->setRowStretch(2, 1);
    centre->setColumnStretch(0, 1);
    centre->setColumnStretch(2, 1);
}

void TPatientForm::SetEditable(bool on) {
    for (QLineEdit* e : m_edits) e->setEnabled(on);
    m_notice->setEnabled(on);
    m_save->setEnabled(on);
}

bool TPatientForm::Load() {
    sPatientInfo info;
    const MString path = CurrentRecordFile();
    const bool ok = LoadPatientInfo(*GetPGFiles(true), path, info);
    for (int i = 0; i < kPatientFieldCount - 1; ++i)
        m_edits[size_t(i)]->setText(ToQt(info.fields[size_t(i)]));
    m_notice->setPlainText(ToQt(info.fields[kPatientNoticeField]));
    m_time->setText(ok ? ToQt(info.timeText) : ToQt(kPatientNoRecordMessage));
    m_status->clear();
    SetEditable(ok);
    return ok;
}

sPatientInfo TPatientForm::Fields() const {
    sPatientInfo info;
    for (int i = 0; i < kPatientFieldCount - 1; ++i)
        info.fields[size_t(i)] = FromQt(m_edits[size_t(i)]->text());
    info.fields[kPatientNoticeField] = FromQt(m_notice->toPlainText());
    return info;
}

void TPatientForm::SaveButtonClick() {
    const PatientSaveResult r = SavePatientInfo(*GetPGFiles(true), CurrentRecordFile(), Fields());
    if (r == PatientSaveResult::kSaved) {
        m_status->setText(ToQt(kPatientSavedText));
        return;
    }
    m_status->clear();
    QMessageBox::warning(
        m_container->window(), QString::fromUtf8(kApplicationTitle),
        ToQt(r == PatientSaveResult::kNoRecord ? kPatientNoRecordMessage : kPatientNotStoredMessage));
}
