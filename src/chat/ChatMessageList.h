// The transcript as a list model, oldest message first. The chat controller is its only writer
// and changes it row by row (insert, change, remove), so a view can follow one growing bubble
// without redrawing the rest. Main thread only.
#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QUuid>

#include "chat/ChatMessage.h"

class ChatMessageList final : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    MessageRole = Qt::UserRole + 1,  // the whole ChatMessage
  };

  explicit ChatMessageList(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  // Qt::DisplayRole gives the text, MessageRole the ChatMessage.
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QHash<int, QByteArray> roleNames() const override;

  qsizetype size() const { return messages_.size(); }
  bool isEmpty() const { return messages_.isEmpty(); }
  const ChatMessage& at(qsizetype row) const { return messages_.at(row); }
  const QList<ChatMessage>& all() const { return messages_; }
  // The row of the first message with that id, searching from the oldest; -1 when none has it.
  qsizetype rowOf(const QUuid& id) const;

  void append(const ChatMessage& message);
  // Replaces the message at the row (same id) and tells views only when it changed.
  void replace(qsizetype row, const ChatMessage& message);
  void removeAt(qsizetype row);

 private:
  QList<ChatMessage> messages_;
};
