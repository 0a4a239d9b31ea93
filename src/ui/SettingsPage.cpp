#include "ui/SettingsPage.h"

#include <QFormLayout>
#include <QVBoxLayout>

namespace {

constexpr int kFormPadding = 8;

}  // namespace

SettingsPage::SettingsPage(AppSettings& settings, QWidget* parent)
    : QWidget(parent), settings_(settings) {}

void SettingsPage::load() {
  ++showing_;
  loadSettings();
}

void SettingsPage::end() {
  ++showing_;
  endPreviews();
}

QFormLayout* SettingsPage::addForm(Placement placement) {
  if (placement == Placement::fill) {
    auto* form = new QFormLayout(this);
    form->setContentsMargins(kFormPadding, kFormPadding, kFormPadding, kFormPadding);
    return form;
  }
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(kFormPadding, kFormPadding, kFormPadding, kFormPadding);
  auto* form = new QFormLayout();
  outer->addLayout(form);
  outer->addStretch();
  return form;
}
