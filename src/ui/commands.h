// The command ids of the desktop program's menus, toolbar and tray menu. They travel on the
// QActions (QAction::data), so a test finds an action by its id, not by its label.
#pragma once

namespace ui {

enum Command : int {
  kCmdHide = 2,
  kCmdExit = 8,
  kCmdHelp = 9,
  kCmdRules = 1003,
  kCmdSettings = 1024,
  kCmdAbout = 1026,
  kCmdClearKeys = 1064,
  kCmdOpen = 40001,
  kCmdWeb = 40005,
  kCmdClearLog = 40006,
  kCmdSaveLog = 40007,
};

// The tray icons: the program's own while idle, the active one while data moves.
enum TrayIconId : int { kIconIdle = 121, kIconActive = 124 };

// The product's web address ("Tandry On the Web...", "BKL latest news").
inline constexpr char kProductAddress[] = "https://www.tandry.example/";

}  // namespace ui
