# bash completion for pixelmote-batch: the operation, then a folder and the
# options with their values.
_pixelmote_batch() {
  local cur prev words cword
  _init_completion -s || return

  case $prev in
    --source | --thumb)
      COMPREPLY=($(compgen -W 'jpg gif' -- "$cur"))
      return
      ;;
    --columns)
      COMPREPLY=($(compgen -W '1 2 3 4 5 6 7 8 9 10' -- "$cur"))
      return
      ;;
    --border)
      COMPREPLY=($(compgen -W '0 1 2 3 4 5 6 7 8 9 10' -- "$cur"))
      return
      ;;
    --size | --quality | --smooth)
      COMPREPLY=($(compgen -W '0 10 25 50 75 90 100' -- "$cur"))
      return
      ;;
    --jobs)
      COMPREPLY=($(compgen -W "$(seq 1 "$(nproc 2>/dev/null || echo 1)")" -- "$cur"))
      return
      ;;
    --prefix)
      COMPREPLY=($(compgen -W 't_' -- "$cur"))
      return
      ;;
    --settings)
      _filedir ini
      return
      ;;
  esac
  $split && return

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '--source --thumb --prefix --columns --border --size
      --quality --smooth --jobs --settings --update --help --version' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi

  # Words before this one that are neither options nor option values.
  local i positional=0
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --source | --thumb | --prefix | --columns | --border | --size | --quality | --smooth | --jobs | --settings) ((i++)) ;;
      -*) ;;
      *) ((positional++)) ;;
    esac
  done
  case $positional in
    0) COMPREPLY=($(compgen -W 'create remove report' -- "$cur")) ;;
    1) _filedir -d ;;
  esac
} &&
  complete -F _pixelmote_batch pixelmote-batch
