# bash completion for quorvantelmic-convert
_quorvantelmic_convert() {
  local current previous command word
  current=${COMP_WORDS[COMP_CWORD]}
  previous=${COMP_WORDS[COMP_CWORD-1]}
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case $word in
      image|inspect|pdf-pages|images-to-pdf|cleanup) command=$word; break ;;
    esac
  done
  case $previous in
    --to|-t)
      if [ "$command" = pdf-pages ]; then COMPREPLY=($(compgen -W "png jpeg" -- "$current"))
      else COMPREPLY=($(compgen -W "jpeg jpg png tiff tif avif gif bmp" -- "$current")); fi
      return ;;
    --dest|-d|--journal) COMPREPLY=($(compgen -d -- "$current")); return ;;
    --helper) COMPREPLY=($(compgen -f -- "$current")); return ;;
    --on-conflict) COMPREPLY=($(compgen -W "rename skip" -- "$current")); return ;;
    --name|--quality|--max-width|--max-height|--dpi|--first|--last|--jobs|-j|--timeout) return ;;
  esac
  if [ -z "$command" ] && [[ $current != -* ]]; then
    COMPREPLY=($(compgen -W "image inspect pdf-pages images-to-pdf cleanup" -- "$current"))
    return
  fi
  if [[ $current == -* ]]; then
    local options="--help --version --helper --journal --quiet --verbose"
    case $command in
      image) options+=" --to --dest --name --quality --max-width --max-height --strip-metadata --recursive --jobs --on-conflict --mkdir --private --timeout" ;;
      pdf-pages) options+=" --to --dest --name --dpi --quality --first --last --mkdir --private --timeout" ;;
      images-to-pdf) options+=" --dest --name --mkdir --private --timeout" ;;
      inspect) options+=" --json" ;;
      cleanup) options+=" --dest" ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$current"))
    return
  fi
  case $command in
    pdf-pages) COMPREPLY=($(compgen -f -X '!*.@(pdf|PDF)' -- "$current") $(compgen -d -- "$current")) ;;
    cleanup) ;;
    *) COMPREPLY=($(compgen -f -- "$current")) ;;
  esac
}
complete -o filenames -F _quorvantelmic_convert quorvantelmic-convert
