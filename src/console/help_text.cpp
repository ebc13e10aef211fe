// SPDX-License-Identifier: Apache-2.0
// The text printed for "/?" and "-h": what the INI file beside the program
// must hold. Its example keys stand as they were always printed, including
// pass_min_length and please_enter_name, which the program does not read:
// scripts compare this text byte for byte.
#include "console/commands.h"

namespace larkspur::console {
namespace {

constexpr char kText[] =
    "\n"
    "\t******************************************************\n"
    "\t*                   -- Larkspur --                   *\n"
    "\t* <An cgi for changing apache's AuthUserFile online> *\n"
    "\t*            Made by the Larkspur project            *\n"
    "\t******************************************************\n"
    "\n"
    "\t/? or -h for this help.\n"
    "\n"
    "\tUsing this cgi need a .ini file.\n"
    "\tFollowing is an example.\n"
    "\tIf this cgi name is changed to example.cgi,\n"
    "\tthan .ini file's name is example.cgi.ini,\n"
    "\tand .ini file's content may be these:\n"
    "\n"
    "\t[path]\n"
    "\tauth_user_file=path/to/AuthUserFile\n"
    "\tlog_file=logfilename\n"
    "\t[setup]\n"
    "\tpass_min_length=1\n"
    "\t[html]\n"
    "\ttitle=html title\n"
    "\tdescription=description at the top of the html page\n"
    "\tyour_name = text befor textbox username\n"
    "\told_password = text befor textbox old password\n"
    "\tnew_password1 = text befor textbox new password\n"
    "\tnew_password2 = text befor textbox confirm new password\n"
    "\tbtn_change = text for button change\n"
    "\tbtn_reset = text for button reset\n"
    "\t\n"
    "\tchange_password_ok=text after changed password successfully\n"
    "\tchange_password_failed=text after changed password failed\n"
    "\told_password_error=text after the old password is incorrect\n"
    "\tserver_error=text after server error\n"
    "\tpassword_must_greater=text for password must greater than a number\n"
    "\ttwo_password_not_matched=text after two passwords are not matched\n"
    "\tplease_enter_name=text for must enter a user name\n"
    "\tback=text for back\n";

}  // namespace

const std::string_view kHelpText(kText, sizeof kText - 1);

}  // namespace larkspur::console
