#include "viewing/ui/SampFreqQuestFormUnit.h"

#include "viewing/SampleRateField.h"
#include "viewing/ui/QtText.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TSampFQuestForm::TSampFQuestForm(QWidget* parent) : QDialog(parent, Qt::Tool) {
    setObjectName("SampFQuestForm");
    setWindowTitle(ToQt(kSampleRateCaption));
    setModal(true);

    m_question = new QLabel(ToQt(kSampleRateQuestion), this);
    m_question->setObjectName("QuestionLabel");
    m_question->setWordWrap(true);
    QFont bold = m_question->font();
    bold.setBold(true);
    m_question->setFont(bold);

    m_edit = new QLineEdit(ToQt(kSampleRateInitial), this);
    m_edit->setObjectName("FEdit");
    m_edit->setFont(bold);
    m_edit->installEventFilter(this);
    connect(m_edit, &QLineEdit::returnPressed, this, [this] {
        Validate();
        accept();
    });
    connect(m_edit, &QLineEdit::editingFinished, this, &TSampFQuestForm::Validate);

    m_ok = new QPushButton("Ok", this);
    m_ok->setObjectName("OkButton");
    m_ok->setAutoDefault(false);
    connect(m_ok, &QPushButton::clicked, this, [this] {
        Validate();
        accept();
    });

    auto* row = new QHBoxLayout;
    row->addWidget(m_edit, 1);
    row->addWidget(m_ok);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_question);
    layout->addLayout(row);
    setMinimumWidth(420);
    m_edit->selectAll();
}

int TSampFQuestForm::Rate() const {
    return SampleRateValue(FromQt(m_edit->text()));
}

void TSampFQuestForm::Validate() {
    const QString shown = ToQt(SampleRateValidated(FromQt(m_edit->text())));
    if (shown != m_edit->text()) m_edit->setText(shown);
}

bool TSampFQuestForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit && event->type() == QEvent::KeyRelease) {
        const QString typed = m_edit->text();
        const QString kept = ToQt(SampleRateWhileTyping(FromQt(typed)));
        if (kept != typed) m_edit->setText(kept);
    }
    return QDialog::eventFilter(watched, event);
}

int TSampFQuestForm::Ask(QWidget* parent) {
    TSampFQuestForm form(parent);
    if (form.exec() != QDialog::Accepted) return 0;
    return form.Rate();
}
