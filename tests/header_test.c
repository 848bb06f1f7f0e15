/* The public header compiled alone as plain C99 with -Wall -Wextra
 * -pedantic -Werror: a C host includes nothing else before it. Included
 * twice, since the guard must hold. Each export is taken as a pointer of
 * the type a C host expects, so a changed prototype fails to compile. */
/* Kept by hand: clang-format would merge the two includes and misread the
 * calling-convention macro in the pointer declarations. */
/* clang-format off */
#include "userprofile.h"
#include "userprofile.h"

int userprofile_header_test(void);

int userprofile_header_test(void) {
  int (USERPROFILE_CALL *wep)(int) = WEP;
  int (USERPROFILE_CALL *is_entry_valid)(const char *) = IsEntryValid;
  int (USERPROFILE_CALL *does_user_exist)(ModuleHandle, const char *) =
      DoesUserExist;
  void (USERPROFILE_CALL *get_proper_home_dir_name)(char *, char *) =
      GetProperHomeDirName;
  void (USERPROFILE_CALL *create_user_profile)(ModuleHandle, char *, int) =
      CreateUserProfile;
  void (USERPROFILE_CALL *create_user_profile_ex)(const char *, const char *,
                                                  int, char *, char *) =
      CreateUserProfileEx;
  void (USERPROFILE_CALL *get_default_user)(ModuleHandle, char *) =
      GetDefaultUser;
  void (USERPROFILE_CALL *set_default_user)(ModuleHandle, const char *) =
      SetDefaultUser;
  void (USERPROFILE_CALL *get_user_home_dir)(ModuleHandle, char *) =
      GetUserHomeDir;
  void (USERPROFILE_CALL *get_dir_for_user)(ModuleHandle, const char *,
                                            char *) = GetDirForUser;
  int (USERPROFILE_CALL *valid_user_name)(const char *) = ValidUserName;
  int (USERPROFILE_CALL *open_user_semaphore_file)(const char *,
                                                   ModuleHandle) =
      openUserSemaphoreFile;
  void (USERPROFILE_CALL *close_user_semaphore_file)(void) =
      CloseUserSemaphoreFile;
  void (USERPROFILE_CALL *verify_user_profiles)(ModuleHandle) =
      VerifyUserProfiles;
  void (*set_report_handler)(userprofile_report_handler, void *) =
      userprofile_set_report_handler;
  int (*last_error)(void) = userprofile_last_error;
  const char *(*last_error_message)(void) = userprofile_last_error_message;
  int (*sign_in)(ModuleHandle, const char *) = userprofile_sign_in;
  int (*inherit_sign_in)(void) = userprofile_inherit_sign_in;
  int (*write_sign_in_note)(const char *) = userprofile_write_sign_in_note;
  ModuleHandle (*module_at)(const char *) = userprofile_module_at;
  int (*list_users)(ModuleHandle, unsigned, userprofile_user_visitor,
                    void *) = userprofile_list_users;
  int (*repair)(ModuleHandle, const userprofile_repair_observer *) =
      userprofile_repair;
  int (*remove_user)(ModuleHandle, const char *, userprofile_removed_user *) =
      userprofile_remove_user;
  int (*remove_users)(ModuleHandle, const char *, unsigned,
                      userprofile_removal_visitor, void *) =
      userprofile_remove_users;
  void (*set_check_handler)(userprofile_check_handler, void *) =
      userprofile_set_check_handler;
  char name[USERPROFILE_NAME_MAX + 1];
  char home[USERPROFILE_HOMEDIRNAME_SIZE];
  char def[USERPROFILE_DEFAULT_SIZE];
  char path[USERPROFILE_PATH_SIZE];
  ModuleHandle self = USERPROFILE_SELF;
  (void)name;
  (void)home;
  (void)def;
  (void)path;
  return self != 0 && wep != 0 && is_entry_valid != 0 &&
         does_user_exist != 0 && get_proper_home_dir_name != 0 &&
         create_user_profile != 0 && create_user_profile_ex != 0 &&
         get_default_user != 0 && set_default_user != 0 &&
         get_user_home_dir != 0 && get_dir_for_user != 0 &&
         valid_user_name != 0 && open_user_semaphore_file != 0 &&
         close_user_semaphore_file != 0 && verify_user_profiles != 0 &&
         set_report_handler != 0 && last_error != 0 &&
         last_error_message != 0 && sign_in != 0 && inherit_sign_in != 0 &&
         write_sign_in_note != 0 && module_at != 0 && list_users != 0 &&
         repair != 0 && remove_user != 0 && remove_users != 0 &&
         set_check_handler != 0 &&
         last_error() == USERPROFILE_ERROR_NONE + 0 * USERPROFILE_ERROR_DAMAGED +
                             0 * USERPROFILE_ERROR_REFUSED +
                             0 * (int)USERPROFILE_REMOVE_DELETE_HOME;
}
/* clang-format on */
