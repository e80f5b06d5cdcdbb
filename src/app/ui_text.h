// SPDX-License-Identifier: Apache-2.0
// Marks a text that the window shows to the user (prompts, banners, button captions). The
// text stays as written here; the window looks it up in the user's language under the
// context "app" (scripts/update-translations collects every marked text).
#pragma once

#define QUILLET_UI_TEXT(context, text) text
