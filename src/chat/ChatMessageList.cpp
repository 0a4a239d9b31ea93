#include "chat/ChatMessageList.h"

ChatMessageList::ChatMessageList(QObject* parent) : QAbstractListModel(parent) {}

int ChatMessageList::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(messages_.size());
}

QVariant ChatMessageList::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= messages_.size()) return {};
  const ChatMessage& message = messages_.at(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return message.text;
    case MessageRole:
      return QVariant::fromValue(message);
    default:
      return {};
  }
}

QHash<int, QByteArray> ChatMessageList::roleNames() const {
  QHash<int, QByteArray> names = QAbstractListModel::roleNames();
  names.insert(MessageRole, "message");
  return names;
}

qsizetype ChatMessageList::rowOf(const QUuid& id) const {
  for (qsizetype row = 0; row < messages_.size(); ++row) {
    if (messages_.at(row).id == id) return row;
  }
  return -1;
}

void ChatMessageList::append(const ChatMessage& message) {
  const int row = int(messages_.size());
  beginInsertRows(QModelIndex(), row, row);
  messages_.append(message);
  endInsertRows();
}

void ChatMessageList::replace(qsizetype row, const ChatMessage& message) {
  Q_ASSERT(row >= 0 && row < messages_.size());
  Q_ASSERT(messages_.at(row).id == message.id);
  if (messages_.at(row) == message) return;
  messages_[row] = message;
  const QModelIndex changed = index(int(row));
  emit dataChanged(changed, changed);
}

void ChatMessageList::removeAt(qsizetype row) {
  Q_ASSERT(row >= 0 && row < messages_.size());
  beginRemoveRows(QModelIndex(), int(row), int(row));
  messages_.removeAt(row);
  endRemoveRows();
}
